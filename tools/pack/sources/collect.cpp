#include "sources/collect.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "names.h"
#include "progress.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8 strings everywhere in the packer; the file system gets them
// as paths of its own kind (wide on Windows).
fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }
std::string Utf8Of(const fs::path& path) {
    std::string text = path.u8string();  // std::string before C++20
    return text;
}

int64_t ModificationTime(const fs::path& path) {
    // The file clock's epoch differs between libraries; go through the
    // difference to now, which both clocks know.
    auto fileTime = fs::last_write_time(path);
    auto sinceNow = fileTime - fs::file_time_type::clock::now();
    auto systemTime = std::chrono::system_clock::now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceNow);
    return std::chrono::duration_cast<std::chrono::seconds>(systemTime.time_since_epoch()).count();
}

// A backslash in a Linux name would make a folder of it in the cabinet: it
// is a character Windows does not allow, like those the name checks refuse.
bool BackslashRefused(const fs::path& path, const std::string& part, Collected& collected) {
    if (part.find('\\') == std::string::npos) return false;
    collected.problem = Utf8Of(path) + ": Windows does not allow this name (" + WindowsNameProblem(part) + ")";
    return true;
}

// Adds one file or, below a folder, every file, named by its path below top.
void Collect(const fs::path& path, const std::string& name, const int64_t* fixedTime, Collected& collected) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
    if (error) {
        collected.problem = Utf8Of(path) + ": " + error.message();
        return;
    }
    if (fs::is_symlink(status)) {
        collected.problem = Utf8Of(path) + ": a link; links are not packed";
        return;
    }
    if (fs::is_regular_file(status)) {
        uint64_t size = fs::file_size(path, error);
        if (error) {
            collected.problem = Utf8Of(path) + ": " + error.message();
            return;
        }
        // Checked here, before packing starts, so that the message names the source.
        if (!std::ifstream(path, std::ios::binary)) {
            collected.problem = Utf8Of(path) + ": cannot be read (" + std::strerror(errno) + ")";
            return;
        }
        collected.files.push_back({name, Utf8Of(path), size, fixedTime != nullptr ? *fixedTime : ModificationTime(path)});
        return;
    }
    if (!fs::is_directory(status)) {
        collected.problem = Utf8Of(path) + ": neither a file nor a folder";
        return;
    }
    bool empty = true;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        empty = false;
        std::string child = Utf8Of(it->path().filename());
        if (BackslashRefused(it->path(), child, collected)) return;
        Collect(it->path(), name.empty() ? child : name + "\\" + child, fixedTime, collected);
        if (!collected.problem.empty()) return;
    }
    if (error) collected.problem = Utf8Of(path) + ": " + error.message();
    if (empty && !name.empty()) collected.notes.push_back("the empty folder " + name + " is left out: a cabinet holds files only");
}

// Every part of every name must be one that Windows can hold, and no two
// files (or a file and a folder) may have the same name to Windows.
std::string CheckNames(const std::vector<CabinetInput>& files) {
    std::vector<std::string> names;
    for (const CabinetInput& file : files) names.push_back(file.name);
    NameCheck check = CheckPackageNames(names);
    const std::string& source = files[check.index].source;
    switch (check.fault) {
        case NameCheck::kNone: return std::string();
        case NameCheck::kSameName:
            return source + " and " + files[check.other].source + " have the same name to Windows (" + names[check.index] + ")";
        case NameCheck::kSameAsFolder: return source + " has the same name to Windows as the folder " + check.detail;
        default: return source + ": " + check.Describe(names);
    }
}

}  // namespace

Collected CollectSources(const std::vector<std::string>& sources, const int64_t* fixedTime) {
    Collected collected;
    for (const std::string& source : sources) {
        fs::path path = PathOf(source);
        std::error_code error;
        if (!fs::exists(fs::symlink_status(path, error))) {
            collected.problem = source + ": no such file or folder";
            return collected;
        }
        // A folder contributes its contents, a file (or a link given by name)
        // itself, both at the top of the package.
        if (fs::is_directory(path, error)) {
            Collect(path, "", fixedTime, collected);
        } else {
            if (BackslashRefused(path, Utf8Of(path.filename()), collected)) return collected;
            fs::path target = fs::is_symlink(fs::symlink_status(path, error)) ? fs::canonical(path, error) : path;
            Collect(target, Utf8Of(path.filename()), fixedTime, collected);
        }
        if (!collected.problem.empty()) return collected;
    }
    if (collected.files.empty()) {
        collected.problem = "nothing to pack: the sources hold no files";
        return collected;
    }
    // A cabinet holds DOS times: 1980 to 2107. Times outside get the nearest, with a note.
    const std::string range = std::string("the cabinet's dates (") + CabinetFormat::kFirstTimeText + " to " +
                              CabinetFormat::kLastTimeText + ")";
    auto nearest = [](int64_t time) {
        return time < CabinetFormat::kFirstTime ? CabinetFormat::kFirstTimeText : CabinetFormat::kLastTimeText;
    };
    std::vector<std::string> outside;  // the first few, named
    size_t count = 0;
    for (CabinetInput& file : collected.files) {
        const int64_t stored = std::min(std::max(file.mtime, CabinetFormat::kFirstTime), CabinetFormat::kLastTime);
        if (stored != file.mtime && ++count <= 3) outside.push_back(file.source + " (" + nearest(file.mtime) + ")");
        file.mtime = stored;
    }
    if (count > outside.size()) outside.push_back(std::to_string(count - outside.size()) + " more");
    if (fixedTime != nullptr && count > 0)
        collected.notes.push_back("the time given (--mtime or SOURCE_DATE_EPOCH), " + std::to_string(*fixedTime) +
                                  ", lies outside " + range + ": every file gets " + nearest(*fixedTime));
    else if (count > 0)
        collected.notes.push_back("files whose times lie outside " + range + " get the nearest: " + Join(outside));
    std::sort(collected.files.begin(), collected.files.end(),
              [](const CabinetInput& a, const CabinetInput& b) { return CompareNames(a.name, b.name) < 0; });
    collected.problem = CheckNames(collected.files);
    return collected;
}

namespace {

// A one-folder cabinet of files whose names need headers bytes before the
// first data block and whose contents are data bytes, at its largest: exact
// when stored, with MSZIP's worst case (incompressible blocks) when
// compressed.
uint64_t CabinetSize(uint64_t headers, uint64_t data, bool compress) {
    // MSZIP: "CK" and a deflate stream; stored deflate blocks of incompressible
    // data add 5 bytes each, and one final empty block.
    const uint64_t mszipWorstCase = 2 + 5 + 5;
    const uint64_t blocks = data / CabinetLimits::kBlock + 1;
    return headers + blocks * CabinetFormat::kBlockHeader + data + (compress ? blocks * mszipWorstCase : 0);
}

}  // namespace

uint64_t LargestCabinetSize(const std::vector<CabinetInput>& files, bool compress) {
    uint64_t data = 0;
    for (const CabinetInput& file : files) data += file.size;
    return CabinetSize(FirstDataBlock(files), data, compress);
}

uint64_t LargestFileBytes(const std::vector<CabinetInput>& files, bool compress) {
    // The cabinet's size grows with the data: the largest amount that passes
    // both limits, by bisection.
    const uint64_t headers = FirstDataBlock(files);
    auto fits = [&](uint64_t data) {
        return data <= CabinetLimits::kFolderBytes && CabinetSize(headers, data, compress) <= CabinetLimits::kCabinetBytes;
    };
    if (!fits(0)) return 0;
    uint64_t most = 0, beyond = CabinetLimits::kFolderBytes + 1;  // fits(most), !fits(beyond)
    while (beyond - most > 1) {
        const uint64_t middle = most + (beyond - most) / 2;
        (fits(middle) ? most : beyond) = middle;
    }
    return most;
}

std::string CheckLimits(const std::vector<CabinetInput>& files, bool compress) {
    if (files.size() > CabinetLimits::kFiles)
        return std::to_string(files.size()) + " files; a cabinet holds at most " + std::to_string(CabinetLimits::kFiles);
    uint64_t data = 0;
    for (const CabinetInput& file : files) {
        if (file.name.size() > CabinetLimits::kNameBytes)
            return file.source + ": its name in the package (" + file.name + ") is " + std::to_string(file.name.size()) +
                   " bytes long; a cabinet holds names of at most " + std::to_string(CabinetLimits::kNameBytes) + " bytes";
        data += file.size;
    }
    const uint64_t most = LargestFileBytes(files, compress);
    if (data > most)
        return "the files hold " + std::to_string(data) + " bytes (" + HumanSize(data) + "); a cabinet holds at most " +
               std::to_string(most) + " bytes (" + HumanSize(most) + ") of these files" +
               (compress ? ", compressed (counting incompressible data)" : ", stored");
    return std::string();
}

}  // namespace kesto::pack
