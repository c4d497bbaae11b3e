#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "host.h"

namespace kesto::pack {

namespace {
constexpr auto kInterval = std::chrono::milliseconds(200);
}

Progress::Progress(const std::string& step, uint64_t total)
    : shown_(StderrIsTerminal()), step_(step), total_(total), start_(std::chrono::steady_clock::now()), last_(start_) {
    if (!shown_) return;
    std::fflush(stdout);  // what was printed before comes first
    Show();
}

Progress::~Progress() {
    if (shown_ && width_ > 0) std::fprintf(stderr, "\r%*s\r", int(width_), "");
}

void Progress::Add(uint64_t bytes) {
    done_ += bytes;
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kInterval) return;
    last_ = now;
    Show();
}

void Progress::Show() {
    std::string line = "kesto-pack: " + step_ + " " + HumanSize(done_) + " of " + HumanSize(total_);
    if (total_ > 0) line += " (" + std::to_string(done_ * 100 / total_) + "%)";
    const double seconds = std::chrono::duration<double>(last_ - start_).count();
    if (seconds > 0) line += ", " + HumanSize(uint64_t(double(done_) / seconds)) + "/s";
    // Padded over what the previous line left.
    const size_t width = line.size();
    if (line.size() < width_) line.append(width_ - line.size(), ' ');
    width_ = std::max(width_, width);
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
}

std::string HumanSize(uint64_t bytes) {
    char text[32];
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    const char* units[] = {"KiB", "MiB", "GiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 2) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace kesto::pack
