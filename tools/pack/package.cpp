#include "package.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "names.h"
#include "payload/package_format.h"

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

uint32_t ReadLe32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}
uint16_t ReadLe16(const unsigned char* bytes) { return uint16_t(bytes[0] | bytes[1] << 8); }

bool ReadAt(std::ifstream& in, uint64_t offset, unsigned char* bytes, size_t size) {
    in.clear();
    in.seekg(std::streamoff(offset));
    in.read(reinterpret_cast<char*>(bytes), std::streamsize(size));
    return size_t(in.gcount()) == size;
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
        Collect(it->path(), name.empty() ? child : name + "\\" + child, fixedTime, collected);
        if (!collected.problem.empty()) return;
    }
    if (error) collected.problem = Utf8Of(path) + ": " + error.message();
    if (empty && !name.empty()) collected.notes.push_back("the empty folder " + name + " is left out: a cabinet holds files only");
}

// Every part of every name must be one that Windows can hold, and no two
// files (or a file and a folder) may have the same name to Windows.
std::string CheckNames(const std::vector<CabinetInput>& files) {
    std::map<std::u16string, std::string> files16, folders16;
    auto key = [](const std::string& name) {
        std::u16string units;
        ToUtf16(name, units);
        for (char16_t& unit : units) unit = Upcase(unit);
        return units;
    };
    for (const CabinetInput& file : files) {
        std::u16string units;
        if (!ToUtf16(file.name, units)) return file.source + ": the name is not UTF-8";
        size_t start = 0;
        for (;;) {
            size_t end = file.name.find('\\', start);
            std::string part = file.name.substr(start, end == std::string::npos ? std::string::npos : end - start);
            std::string problem = WindowsNameProblem(part);
            if (!problem.empty()) return file.source + ": Windows does not allow this name (" + problem + ")";
            if (end == std::string::npos) break;
            folders16.emplace(key(file.name.substr(0, end)), file.name.substr(0, end));
            start = end + 1;
        }
        auto added = files16.emplace(key(file.name), file.source);
        if (!added.second)
            return file.source + " and " + added.first->second + " have the same name to Windows (" + file.name + ")";
    }
    for (const auto& folder : folders16) {
        auto clash = files16.find(folder.first);
        if (clash != files16.end())
            return clash->second + " has the same name to Windows as the folder " + folder.second;
    }
    return std::string();
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
            fs::path target = fs::is_symlink(fs::symlink_status(path, error)) ? fs::canonical(path, error) : path;
            Collect(target, Utf8Of(path.filename()), fixedTime, collected);
        }
        if (!collected.problem.empty()) return collected;
    }
    if (collected.files.empty()) {
        collected.problem = "nothing to pack: the sources hold no files";
        return collected;
    }
    // A cabinet holds DOS times: 1980 to 2107.
    for (CabinetInput& file : collected.files) file.mtime = std::min<int64_t>(std::max<int64_t>(file.mtime, 315532800), 4354819198);
    std::sort(collected.files.begin(), collected.files.end(),
              [](const CabinetInput& a, const CabinetInput& b) { return CompareNames(a.name, b.name) < 0; });
    collected.problem = CheckNames(collected.files);
    return collected;
}

uint64_t LargestCabinetSize(const std::vector<CabinetInput>& files, bool compress) {
    const uint64_t header = 36, folder = 8, fileEntry = 16, blockHeader = 8;
    // MSZIP: "CK" and a deflate stream; stored deflate blocks of incompressible
    // data add 5 bytes each, and one final empty block.
    const uint64_t mszipWorstCase = 2 + 5 + 5;
    uint64_t data = 0, names = 0;
    for (const CabinetInput& file : files) {
        data += file.size;
        names += fileEntry + file.name.size() + 1;
    }
    uint64_t blocks = data / CabinetLimits::kBlock + 1;
    return header + folder + names + blocks * blockHeader + data + (compress ? blocks * mszipWorstCase : 0);
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
    if (data > CabinetLimits::kFolderBytes)
        return "the files hold " + std::to_string(data) + " bytes (" + HumanSize(data) + "); a cabinet holds at most " +
               std::to_string(CabinetLimits::kFolderBytes) + " bytes (" + HumanSize(CabinetLimits::kFolderBytes) + ")";
    uint64_t largest = LargestCabinetSize(files, compress);
    if (largest > CabinetLimits::kCabinetBytes)
        return "the cabinet could grow to " + std::to_string(largest) + " bytes" + (compress ? " (incompressible data)" : "") +
               "; Windows reads cabinets of at most " + std::to_string(CabinetLimits::kCabinetBytes) + " bytes";
    return std::string();
}

std::string ReadLayout(const std::string& path, PackageLayout& layout) {
    layout = PackageLayout();
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) return "cannot read " + path;
    in.seekg(0, std::ios::end);
    layout.fileSize = uint64_t(in.tellg());
    in.seekg(0);

    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    std::vector<unsigned char> block(1 << 16);
    uint64_t offset = 0;
    while (!scan.Found()) {
        in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
        size_t count = size_t(in.gcount());
        if (count == 0) break;
        size_t start = scan.Feed(block.data(), count);
        if (scan.Found()) layout.payloadOffset = offset + start;
        offset += count;
    }
    if (!scan.Found()) return path + ": no payload marker; not a launcher file";
    layout.markerOffset = layout.payloadOffset - kMarkerLength;

    // The stub's image ends where its last section's raw data ends.
    unsigned char dos[64], pe[24];
    if (ReadAt(in, 0, dos, sizeof(dos)) && dos[0] == 'M' && dos[1] == 'Z' && ReadAt(in, ReadLe32(dos + 0x3C), pe, sizeof(pe)) &&
        std::equal(pe, pe + 4, "PE\0\0")) {
        uint64_t optional = ReadLe32(dos + 0x3C) + 24;
        uint16_t sections = ReadLe16(pe + 6), optionalSize = ReadLe16(pe + 20);
        unsigned char magic[2];
        if (ReadAt(in, optional, magic, 2)) {
            uint64_t directories = optional + (ReadLe16(magic) == 0x20B ? 112 : 96);
            unsigned char security[8];
            if (ReadAt(in, directories + 4 * 8, security, 8) && ReadLe32(security + 4) != 0) {
                layout.signatureOffset = ReadLe32(security);
                layout.signatureSize = ReadLe32(security + 4);
            }
        }
        for (uint16_t i = 0; i < sections; ++i) {
            unsigned char section[40];
            if (!ReadAt(in, optional + optionalSize + 40u * i, section, sizeof(section))) break;
            layout.stubImageSize = std::max<uint64_t>(layout.stubImageSize, uint64_t(ReadLe32(section + 20)) + ReadLe32(section + 16));
        }
    }

    // The cabinet's header: its size, its files, and its first folder's
    // compression, which stands behind the header's optional reserved area.
    unsigned char header[40];
    uint64_t available = layout.fileSize - layout.payloadOffset;
    if (!ReadAt(in, layout.payloadOffset, header, sizeof(header)))
        return path + ": truncated: " + std::to_string(available) + " bytes follow the marker, too few for a cabinet";
    Complement(header, sizeof(header));
    if (!std::equal(header, header + 4, "MSCF")) return path + ": the payload is not a cabinet";
    layout.cabinetSize = ReadLe32(header + 8);
    layout.files = ReadLe16(header + 28);
    uint16_t flags = ReadLe16(header + 30);
    if ((flags & 3) != 0) return path + ": the cabinet is one of a set that spans several cabinets";
    uint64_t folder = (flags & 4) != 0 ? 40 + ReadLe16(header + 36) : 36;
    unsigned char compression[2];
    if (ReadAt(in, layout.payloadOffset + folder + 6, compression, 2)) {
        Complement(compression, 2);
        layout.compression = ReadLe16(compression) & 0xF;
    }
    if (layout.cabinetSize > available)
        return path + ": truncated: the cabinet's header says " + std::to_string(layout.cabinetSize) + " bytes, " +
               std::to_string(available) + " follow the marker";
    return std::string();
}

std::string CopyCabinetOut(const std::string& path, const PackageLayout& layout, const std::string& cabinetPath) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::ofstream out(PathOf(cabinetPath), std::ios::binary | std::ios::trunc);
    if (!in) return "cannot read " + path;
    if (!out) return "cannot write " + cabinetPath;
    in.seekg(std::streamoff(layout.payloadOffset));
    std::vector<unsigned char> block(1 << 16);
    for (uint64_t left = layout.cabinetSize; left > 0;) {
        size_t count = size_t(std::min<uint64_t>(left, block.size()));
        in.read(reinterpret_cast<char*>(block.data()), std::streamsize(count));
        if (size_t(in.gcount()) != count) return "reading " + path + " failed";
        Complement(block.data(), count);
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(count));
        left -= count;
    }
    out.close();
    if (!out) return "writing " + cabinetPath + " failed";
    return std::string();
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
