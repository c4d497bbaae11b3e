// inspect's reading of a package's identity on any bytes: the stub's
// resource tree, its icon group and images, its version resource; and
// build's reading of an .ico file. Nothing may crash or read out of bounds,
// and an identity read back must write the same version resource again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "identity/icon_file.h"
#include "identity/pe_resources.h"
#include "identity/version_info.h"

using namespace kesto::pack;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<Resource> resources;
    if (ReadResources(bytes, resources).empty()) {
        std::vector<IconImage> icon;
        ReadIconResources(resources, icon);
        std::string rebuilt;
        ReplaceResources(bytes, resources, rebuilt);
    }
    VersionInfo info;
    if (ReadVersionResource(bytes, info).empty()) {
        std::string written;
        VersionInfo again;
        if (WriteVersionResource(info, written).empty() &&
            (!ReadVersionResource(written, again).empty() || again.strings.size() != info.strings.size()))
            std::abort();
    }
    std::vector<IconImage> images;
    if (ParseIconFile(bytes, images).empty()) IconResources(images);
    return 0;
}
