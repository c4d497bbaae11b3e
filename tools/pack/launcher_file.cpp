#include "launcher_file.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

uint32_t ReadLe32(const std::string& bytes, size_t at) {
    return uint32_t(static_cast<unsigned char>(bytes[at])) | uint32_t(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           uint32_t(static_cast<unsigned char>(bytes[at + 2])) << 16 | uint32_t(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

// Writes into a new file beside path and renames it into place, so that a
// failed or interrupted write never leaves a file under the final name.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& path) : path_(fs::u8path(path)) {
        std::random_device random;
        temporary_ = path_;
        temporary_ += ".tmp-" + std::to_string(random());
        out_.open(temporary_, std::ios::binary | std::ios::trunc);
    }
    ~AtomicFile() {
        if (!committed_) {
            out_.close();
            std::error_code error;
            fs::remove(temporary_, error);
        }
    }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::ofstream& stream() { return out_; }
    bool Commit() {
        out_.close();
        if (!out_) return false;
        std::error_code error;
        fs::rename(temporary_, path_, error);
        committed_ = !error;
        return committed_;
    }

private:
    fs::path path_, temporary_;
    std::ofstream out_;
    bool committed_ = false;
};

}  // namespace

std::string Marker() { return std::string("Kesto") + "Binay"; }

size_t PartialMatchAtEnd(const std::string& data) {
    // Runs the launcher's scan: a byte that breaks a match resets it and is
    // not compared with the first marker byte again.
    const std::string marker = Marker();
    size_t matched = 0;
    for (char c : data) {
        if (c == marker[matched]) {
            if (++matched == marker.size()) matched = 0;  // a whole marker: the stub is refused anyway
        } else {
            matched = 0;
        }
    }
    return matched;
}

size_t PaddingBeforeMarker(size_t imageSize, bool endsInPartialMatch, bool align) {
    size_t padding = 0;
    if (align) {
        const size_t payloadStart = imageSize + Marker().size();
        padding = (kPayloadAlignment - payloadStart % kPayloadAlignment) % kPayloadAlignment;
    }
    if (endsInPartialMatch && padding == 0) padding = align ? kPayloadAlignment : 1;
    return padding;
}

std::string WriteLauncherFile(const std::string& stubPath, const std::string& cabinetPath,
                              const std::string& outputPath, bool align) {
    std::ifstream stubFile(fs::u8path(stubPath), std::ios::binary);
    if (!stubFile) return "cannot read the stub " + stubPath;
    std::string stub((std::istreambuf_iterator<char>(stubFile)), std::istreambuf_iterator<char>());
    if (stub.find(Marker()) != std::string::npos) return "the stub " + stubPath + " holds the marker itself";

    std::ifstream cabinet(fs::u8path(cabinetPath), std::ios::binary);
    if (!cabinet) return "cannot read the cabinet " + cabinetPath;
    char signature[4] = {};
    cabinet.read(signature, 4);
    if (cabinet.gcount() != 4 || std::string(signature, 4) != "MSCF") return cabinetPath + " is not a cabinet";
    cabinet.seekg(0);

    AtomicFile file(outputPath);
    std::ofstream& out = file.stream();
    if (!out) return "cannot write " + outputPath;
    out.write(stub.data(), std::streamsize(stub.size()));
    const size_t padding = PaddingBeforeMarker(stub.size(), PartialMatchAtEnd(stub) != 0, align);
    const std::string zeros(padding, '\0');
    out.write(zeros.data(), std::streamsize(zeros.size()));
    const std::string marker = Marker();
    out.write(marker.data(), std::streamsize(marker.size()));

    std::vector<char> block(1 << 16);
    while (cabinet) {
        cabinet.read(block.data(), std::streamsize(block.size()));
        std::streamsize count = cabinet.gcount();
        for (std::streamsize i = 0; i < count; ++i) block[size_t(i)] = char(~static_cast<unsigned char>(block[size_t(i)]));
        out.write(block.data(), count);
    }
    if (cabinet.bad()) return "reading " + cabinetPath + " failed";
    if (!file.Commit()) return "writing " + outputPath + " failed";
    return std::string();
}

bool StubIsSigned(const std::string& stub) {
    if (!CheckStubImage(stub).empty()) return false;
    // The certificate table is the fifth data directory of the optional
    // header, which starts 24 bytes behind "PE\0\0".
    const size_t optional = size_t(ReadLe32(stub, 0x3C)) + 24;
    if (optional + 2 > stub.size()) return false;
    const bool pe32Plus = static_cast<unsigned char>(stub[optional]) == 0x0B && stub[optional + 1] == 0x02;
    const size_t security = optional + (pe32Plus ? 112 : 96) + 4 * 8;
    return security + 8 <= stub.size() && ReadLe32(stub, security + 4) != 0;
}

std::string CheckStubImage(const std::string& stub) {
    if (stub.size() < 0x40 || stub.compare(0, 2, "MZ") != 0) return "not a Windows program (no MZ header)";
    uint32_t peOffset = ReadLe32(stub, 0x3C);
    if (uint64_t(peOffset) + 24 > stub.size() || stub.compare(peOffset, 4, std::string("PE\0\0", 4)) != 0)
        return "not a Windows program (no PE header)";
    if (stub.find(Marker()) != std::string::npos) return "holds the marker itself";
    return std::string();
}

}  // namespace kesto::pack
