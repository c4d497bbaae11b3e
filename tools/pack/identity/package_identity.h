#pragma once
// A package's identity as Windows shows it: its icon and its version
// resource (numbers and strings), written into the stub's image by build
// and read back by inspect.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "identity/icon_file.h"
#include "identity/version_info.h"
#include "package/launcher_file.h"

namespace kesto::pack {

// build's --icon, --version and --info.
struct IdentityOptions {
    std::string icon, version;
    std::vector<std::string> info;
    bool Given() const { return !icon.empty() || !version.empty() || !info.empty(); }
};

// Why the command line's values cannot be written (a version part, an
// unknown name, a value given twice or too long), or an empty string.
std::string CheckIdentityOptions(const IdentityOptions& options, const std::string& outName);

// The stub's image with the identity among its resources: the icon's images
// (replacing any icon of the stub's), and a version resource (replacing the
// stub's) whose OriginalFilename is outName unless --info names one, and
// whose FileVersion and ProductVersion strings are --version's unless --info
// names them. The stub's other resources (its manifest) stay as they are.
// branded gets it scanned for the marker, which may not stand in the icon's
// bytes. Returns an empty string or the problem, naming the file.
std::string BrandImage(const StubImage& stub, const IdentityOptions& options, const std::string& outName,
                       StubImage& branded);

struct PackageIdentity {
    bool hasVersion = false;
    VersionInfo version;
    std::vector<IconImage> icon;
    bool Any() const { return hasVersion || !icon.empty(); }
};
// Reads the identity from a stub's image (the file's first bytes up to its image's end).
std::string ReadIdentity(const std::string& image, PackageIdentity& identity);

// inspect's lines ("version:   1.2.3.4 ...") and its JSON object (null when none).
std::vector<std::string> IdentityLines(const PackageIdentity& identity);
nlohmann::ordered_json IdentityJson(const PackageIdentity& identity);

}  // namespace kesto::pack
