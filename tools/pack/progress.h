#pragma once
// How far a long step has come, for a person watching: build, inspect and
// extract show it on stderr while it runs.
#include <chrono>
#include <cstdint>
#include <string>

#include "cabinet/cabinet_reader.h"

namespace kesto::pack {

// One step of total bytes, shown as "kesto-pack: packing 12.0 MiB of 300.0
// MiB (4%), 85.2 MiB/s" on stderr from its start, rewritten in place at most
// five times a second and erased when the object goes. Nothing at all when
// stderr is not a terminal: logs and pipes get no carriage returns.
class Progress {
public:
    Progress(const std::string& step, uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Add(uint64_t bytes);

private:
    void Show();

    const bool shown_;
    const std::string step_;
    const uint64_t total_;
    uint64_t done_ = 0;
    size_t width_ = 0;  // of the line on the terminal, for erasing it
    std::chrono::steady_clock::time_point start_, last_;
};

// Hands the files' bytes on to another sink and counts them into a progress.
class ProgressSink : public EntrySink {
public:
    ProgressSink(EntrySink& inner, Progress& progress) : inner_(inner), progress_(progress) {}
    std::string Begin(const CabinetEntry& entry) override { return inner_.Begin(entry); }
    std::string Write(const unsigned char* bytes, size_t size) override {
        progress_.Add(size);
        return inner_.Write(bytes, size);
    }
    std::string End(const CabinetEntry& entry) override { return inner_.End(entry); }

private:
    EntrySink& inner_;
    Progress& progress_;
};

// "12.3 MiB" style sizes for people.
std::string HumanSize(uint64_t bytes);

}  // namespace kesto::pack
