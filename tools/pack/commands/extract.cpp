#include "commands/extract.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "commands/shared.h"
#include "host.h"
#include "names.h"
#include "package/read_package.h"
#include "progress.h"

namespace kesto::pack {

namespace {

namespace fs = std::filesystem;

const char* const kNothing = "; nothing extracted";

// The parts of a cabinet name.
std::vector<std::string> Parts(const std::string& name) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = name.find('\\', start);
        parts.push_back(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// A cabinet name as a path below folder.
fs::path Below(const fs::path& folder, const std::string& name) {
    fs::path path = folder;
    for (const std::string& part : Parts(name)) path /= fs::u8path(part);
    return path;
}

// A cabinet's DOS date and time (taken as UTC, as the packer writes them)
// in seconds since 1970.
int64_t DosTime(uint16_t date, uint16_t time) {
    // Days since 1970 of the civil date (proleptic Gregorian calendar).
    const int64_t month = (date >> 5) & 15, day = date & 31;
    const int64_t year = 1980 + (date >> 9) - (month <= 2 ? 1 : 0);  // years from March on
    const int64_t era = year / 400, yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    return days * 86400 + (time >> 11) * 3600 + ((time >> 5) & 63) * 60 + (time & 31) * 2;
}

// What the files take on a file system of blocks of block bytes: each file
// whole blocks, each folder (the new one beside FOLDER too) one.
uint64_t OnDisk(const CabinetTable& table, uint64_t block) {
    std::set<std::string> folders;
    uint64_t total = block;
    for (const CabinetEntry& entry : table.entries) {
        total += (uint64_t(entry.size) + block - 1) / block * block;
        for (size_t at = entry.name.find('\\'); at != std::string::npos; at = entry.name.find('\\', at + 1))
            if (folders.insert(entry.name.substr(0, at)).second) total += block;
    }
    return total;
}

// The names that folder already holds where the package puts a file, or a
// file where the package has a folder, each once, in the package's order.
std::vector<std::string> Clashes(const fs::path& folder, const CabinetTable& table) {
    std::set<std::string> seen;
    std::vector<std::string> clashes;
    std::error_code error;
    for (const CabinetEntry& entry : table.entries) {
        const fs::path target = Below(folder, entry.name);
        for (fs::path part = target; part != folder && part.has_relative_path(); part = part.parent_path()) {
            fs::file_status status = fs::symlink_status(part, error);
            if (!fs::exists(status)) continue;
            if (part == target || !fs::is_directory(status)) {
                const std::string name = part.lexically_relative(folder).u8string();
                if (seen.insert(name).second) clashes.push_back(name);
            }
            break;
        }
    }
    return clashes;
}

// Writes each file into a folder held open, making the folders on its way.
class FolderSink : public EntrySink {
public:
    explicit FolderSink(const Folder& top) : top_(top) {}
    std::string Begin(const CabinetEntry& entry) override {
        std::vector<std::string> parts = Parts(entry.name);
        const std::string name = parts.back();
        parts.pop_back();
        // The folders this file shares with the previous one stay held.
        size_t kept = 0;
        while (kept < names_.size() && kept < parts.size() && names_[kept] == parts[kept]) ++kept;
        chain_.resize(kept);
        names_.resize(kept);
        for (size_t i = kept; i < parts.size(); ++i) {
            const Folder& parent = chain_.empty() ? top_ : chain_.back();
            Folder child;
            std::string problem = parent.KindOf(parts[i]) == Folder::Kind::kNone ? parent.MakeChild(parts[i], child)
                                                                                 : parent.OpenChild(parts[i], child);
            if (!problem.empty()) return Failed(problem);
            chain_.push_back(std::move(child));
            names_.push_back(parts[i]);
        }
        file_ = std::make_unique<OutputFile>();
        return Failed((chain_.empty() ? top_ : chain_.back()).MakeFile(name, *file_));
    }
    std::string Write(const unsigned char* bytes, size_t size) override {
        if (Interrupted()) return "interrupted";
        return Failed(file_->Write(bytes, size));
    }
    std::string End(const CabinetEntry& entry) override {
        std::string problem = file_->Finish(DosTime(entry.date, entry.time));
        file_.reset();
        return Failed(problem);
    }
    // Lets go of every folder held (Windows cannot move a folder held).
    void Release() {
        file_.reset();
        chain_.clear();
        names_.clear();
    }
    // What could not be written, or an empty string.
    const std::string& problem() const { return problem_; }

private:
    const std::string& Failed(const std::string& problem) {
        if (!problem.empty()) problem_ = problem;
        return problem;
    }

    const Folder& top_;
    std::vector<Folder> chain_;  // the folders of the current file, from the top
    std::vector<std::string> names_;
    std::unique_ptr<OutputFile> file_;
    std::string problem_;
};

struct Moved {
    const Folder* from;
    const Folder* to;
    std::string name;
};

// Moves everything in from into to, folder by folder, never over anything
// that is there. held keeps the folders opened on the way (for undoing);
// moved collects what was moved.
std::string MoveInto(const Folder& from, const Folder& to, std::deque<Folder>& held, std::vector<Moved>& moved) {
    std::vector<std::string> names;
    std::string problem = from.List(names);
    for (size_t i = 0; problem.empty() && i < names.size(); ++i) {
        const std::string& name = names[i];
        const Folder::Kind there = to.KindOf(name);
        if (there == Folder::Kind::kNone) {
            problem = from.MoveTo(name, to);
            if (problem.empty()) moved.push_back({&from, &to, name});
        } else if (there == Folder::Kind::kFolder && from.KindOf(name) == Folder::Kind::kFolder) {
            Folder& source = held.emplace_back();
            Folder& target = held.emplace_back();
            problem = from.OpenChild(name, source);
            if (problem.empty()) problem = to.OpenChild(name, target);
            if (problem.empty()) problem = MoveInto(source, target, held, moved);
        } else {
            problem = to.path() + " holds " + name + ", which extract would replace";
        }
    }
    return problem;
}

// The folders extract made and the new folder beside FOLDER: removed when it
// ends, the folders it made only when it refused, and only when empty.
class Cleanup {
public:
    ~Cleanup() {
        for (auto it = moved.rbegin(); !succeeded && it != moved.rend(); ++it) it->to->MoveTo(it->name, *it->from);
        held.clear();
        if (staging != nullptr) {
            const std::string path = staging->path();
            staging->Close();
            stagingParent->Remove(stagingName);
            KeepIfInterrupted(path);
        }
        for (auto it = made.rbegin(); !succeeded && it != made.rend(); ++it) {
            it->self->Close();
            it->parent->RemoveEmpty(it->name);
        }
    }
    struct Made {
        const Folder* parent;
        Folder* self;
        std::string name;
    };
    std::vector<Made> made;
    const Folder* stagingParent = nullptr;
    Folder* staging = nullptr;
    std::string stagingName;
    std::deque<Folder> held;  // opened while moving
    std::vector<Moved> moved;
    bool succeeded = false;
};

}  // namespace

std::string ExtractFiles(ByteSource& cabinet, const CabinetTable& table, const std::string& package,
                         const std::string& folderName) {
    std::error_code error;
    fs::path folder = fs::absolute(fs::u8path(folderName), error).lexically_normal();
    if (error) return folderName + ": " + error.message() + kNothing;
    if (!folder.has_filename()) folder = folder.parent_path();  // "unpacked/"
    if (fs::exists(folder, error) && !fs::is_directory(folder, error)) return folderName + ": not a folder" + kNothing;
    // Nothing there is replaced: a file of the package's already there, or a
    // file where the package has a folder, is refused before writing.
    const std::vector<std::string> clashes = Clashes(folder, table);
    if (!clashes.empty())
        return folderName + " already holds " + Join(clashes, 5) +
               (clashes.size() > 1 ? " (" + std::to_string(clashes.size()) + " of the package's names)" : "") +
               ", which extract would replace" + kNothing;

    // The deepest folder on the way that exists (as the path names it), and
    // the folders to make below it.
    fs::path existing = folder;
    std::vector<std::string> missing;
    while (!fs::exists(existing, error) && existing.has_relative_path()) {
        missing.insert(missing.begin(), existing.filename().u8string());
        existing = existing.parent_path();
    }
    std::deque<Folder> folders(1);  // before cleanup, which goes first
    Cleanup cleanup;
    std::string problem = folders[0].Open(existing.u8string());
    if (!problem.empty()) return problem + kNothing;

    // The sizes come from the cabinet's own tables, checked against each
    // other; what they take, from the file system's blocks.
    const uint64_t bytes = table.FileBytes();
    uint64_t available = 0, block = 0;
    if (folders[0].Space(available, block).empty()) {
        const uint64_t needed = OnDisk(table, block);
        if (available < needed)
            return folderName + ": the files need " + std::to_string(bytes) + " bytes (" + HumanSize(bytes) + "), " +
                   std::to_string(needed) + " bytes in blocks of " + std::to_string(block) +
                   " bytes; the file system there has " + std::to_string(available) + " bytes (" + HumanSize(available) +
                   ") free" + kNothing;
    }

    const Folder* parent = nullptr;
    Folder* target = &folders[0];
    if (missing.empty()) {
        parent = &folders.emplace_back();
        problem = folders.back().Open(folder.parent_path().u8string());
    }
    for (const std::string& name : missing) {
        if (!problem.empty()) break;
        parent = target;
        target = &folders.emplace_back();
        problem = parent->MakeChild(name, *target);
        if (problem.empty()) cleanup.made.push_back({parent, target, name});
    }
    if (!problem.empty()) return problem + kNothing;

    std::random_device random;
    cleanup.stagingName = "." + folder.filename().u8string() + ".kesto-pack-" + std::to_string(random());
    Folder& staging = folders.emplace_back();
    problem = parent->MakeChild(cleanup.stagingName, staging);
    if (!problem.empty()) return problem + kNothing;
    RemoveIfInterrupted(staging.path());
    cleanup.stagingParent = parent;
    cleanup.staging = &staging;

    FolderSink sink(staging);
    {
        Progress progress("unpacking", bytes);
        ProgressSink counted(sink, progress);
        problem = ReadCabinetData(cabinet, table, counted);
    }
    sink.Release();
    if (!sink.problem().empty()) return sink.problem() + kNothing;
    if (!problem.empty()) return package + ": damaged cabinet: " + problem + kNothing;
    if (Interrupted()) return "interrupted";

    problem = MoveInto(staging, *target, cleanup.held, cleanup.moved);
    if (!problem.empty()) return "cannot move the files into " + folderName + ": " + problem + kNothing;
    cleanup.succeeded = true;
    return std::string();
}

// All or nothing: the package is checked, the files are unpacked into a new
// folder beside FOLDER and moved into place only when every one of them was
// written whole.
int Extract(const ExtractOptions& options) {
    const std::string &package = options.package, &folderName = options.folder;
    FileSource file(package);
    if (!file.Open()) return Fail("cannot read " + package + ": " + file.Reason() + "; nothing extracted");
    PackageLayout layout;
    CabinetTable table;
    std::string problem = ReadPackage(file, layout, table);
    if (!problem.empty()) return Fail(package + ": " + problem + "; nothing extracted");

    PayloadSource cabinet(file, layout.payloadOffset);
    problem = ExtractFiles(cabinet, table, package, folderName);
    if (!problem.empty()) return Fail(problem);
    const uint64_t needed = table.FileBytes();
    std::printf("extracted %zu file%s (%s) into %s\n", table.entries.size(), table.entries.size() == 1 ? "" : "s",
                HumanSize(needed).c_str(), folderName.c_str());
    return 0;
}

}  // namespace kesto::pack
