#include "launcher_file.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace kesto::pack {

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
    std::ifstream stubFile(stubPath, std::ios::binary);
    if (!stubFile) return "cannot read the stub " + stubPath;
    std::string stub((std::istreambuf_iterator<char>(stubFile)), std::istreambuf_iterator<char>());
    if (stub.find(Marker()) != std::string::npos) return "the stub " + stubPath + " holds the marker itself";

    std::ifstream cabinet(cabinetPath, std::ios::binary);
    if (!cabinet) return "cannot read the cabinet " + cabinetPath;
    char signature[4] = {};
    cabinet.read(signature, 4);
    if (cabinet.gcount() != 4 || std::string(signature, 4) != "MSCF") return cabinetPath + " is not a cabinet";
    cabinet.seekg(0);

    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
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
    out.close();
    if (!out) return "writing " + outputPath + " failed";
    return std::string();
}

}  // namespace kesto::pack
