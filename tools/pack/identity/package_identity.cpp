#include "identity/package_identity.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "package/launcher_file.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

bool IsType(const Resource& resource, uint16_t type) { return resource.type.name.empty() && resource.type.id == type; }

// The version resource's contents from the options (checked before).
VersionInfo VersionFrom(const IdentityOptions& options, const std::string& outName) {
    VersionInfo info;
    std::map<std::string, std::string> given;
    for (const std::string& argument : options.info) {
        std::pair<std::string, std::string> string;
        ParseVersionString(argument, string);
        given[string.first] = string.second;
    }
    if (!options.version.empty()) {
        ParseVersionNumbers(options.version, info.fileVersion);
        info.productVersion = info.fileVersion;
        given.emplace("FileVersion", options.version);
        given.emplace("ProductVersion", options.version);
    }
    given.emplace("OriginalFilename", outName);
    for (const std::string& name : VersionStringNames())
        if (given.count(name) != 0) info.strings.emplace_back(name, given[name]);
    return info;
}

}  // namespace

std::string CheckIdentityOptions(const IdentityOptions& options, const std::string& outName) {
    std::array<uint16_t, 4> numbers;
    if (!options.version.empty()) {
        std::string problem = ParseVersionNumbers(options.version, numbers);
        if (!problem.empty()) return problem;
    }
    std::vector<std::string> names;
    for (const std::string& argument : options.info) {
        std::pair<std::string, std::string> string;
        std::string problem = ParseVersionString(argument, string);
        if (!problem.empty()) return problem;
        if (std::find(names.begin(), names.end(), string.first) != names.end())
            return "--info " + string.first + " is given twice";
        names.push_back(string.first);
    }
    std::string resource;
    return WriteVersionResource(VersionFrom(options, outName), resource);
}

std::string BrandImage(const StubImage& stub, const IdentityOptions& options, const std::string& outName,
                       StubImage& branded) {
    const std::string& stubPath = stub.path;
    std::vector<Resource> resources;
    std::string problem = ReadResources(stub.bytes, resources);
    if (!problem.empty()) return "the stub " + stubPath + " cannot take --icon, --version or --info: " + problem;
    std::vector<Resource> added;
    if (!options.icon.empty()) {
        std::ifstream in(fs::u8path(options.icon), std::ios::binary);
        if (!in) return "--icon " + options.icon + ": cannot read it";
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<IconImage> images;
        problem = ParseIconFile(bytes, images);
        if (!problem.empty()) return "--icon " + options.icon + ": " + problem;
        added = IconResources(images);
        resources.erase(std::remove_if(resources.begin(), resources.end(),
                                       [](const Resource& r) { return IsType(r, kIconResource) || IsType(r, kIconGroupResource); }),
                        resources.end());
    }
    Resource version;
    version.type.id = kVersionResource;
    version.name.id = 1;
    version.language = kResourceLanguage;
    problem = WriteVersionResource(VersionFrom(options, outName), version.data);
    if (!problem.empty()) return problem;
    added.push_back(version);
    resources.erase(std::remove_if(resources.begin(), resources.end(), [](const Resource& r) { return IsType(r, kVersionResource); }),
                    resources.end());
    resources.insert(resources.end(), added.begin(), added.end());

    std::string image;
    problem = ReplaceResources(stub.bytes, resources, image);
    if (!problem.empty()) return "the stub " + stubPath + " cannot take --icon, --version or --info: " + problem;
    // The launcher finds its payload by the first marker in its file: none may stand in the icon's bytes.
    branded = ScanStub(stubPath, std::move(image));
    problem = CheckStubImage(branded);
    if (!problem.empty()) return "--icon " + options.icon + ": the stub with its resources " + problem;
    return std::string();
}

std::string ReadIdentity(const std::string& image, PackageIdentity& identity) {
    identity = PackageIdentity();
    std::vector<Resource> resources;
    std::string problem = ReadResources(image, resources);
    if (problem.empty()) problem = ReadIconResources(resources, identity.icon);
    for (const Resource& resource : resources)
        if (problem.empty() && IsType(resource, kVersionResource) && !identity.hasVersion) {
            problem = ReadVersionResource(resource.data, identity.version);
            identity.hasVersion = problem.empty();
        }
    return problem;
}

std::vector<std::string> IdentityLines(const PackageIdentity& identity) {
    if (!identity.Any()) return {"identity:  none (no version resource, no icon)"};
    std::vector<std::string> lines;
    if (identity.hasVersion) {
        lines.push_back("version:   file " + VersionText(identity.version.fileVersion) + ", product " +
                        VersionText(identity.version.productVersion));
        for (const auto& [name, value] : identity.version.strings) lines.push_back("           " + name + ": " + value);
    }
    lines.push_back("icon:      " + (identity.icon.empty() ? std::string("none") : DescribeIcon(identity.icon)));
    return lines;
}

nlohmann::ordered_json IdentityJson(const PackageIdentity& identity) {
    using Json = nlohmann::ordered_json;
    if (!identity.Any()) return Json();
    Json report;
    report["file_version"] = identity.hasVersion ? Json(VersionText(identity.version.fileVersion)) : Json();
    report["product_version"] = identity.hasVersion ? Json(VersionText(identity.version.productVersion)) : Json();
    Json strings = Json::object();
    for (const auto& [name, value] : identity.version.strings) strings[name] = value;
    report["strings"] = strings;
    report["icon"] = Json::array();
    for (const IconImage& image : identity.icon)
        report["icon"].push_back({{"width", image.width}, {"height", image.height}, {"bits", image.bitCount}, {"png", image.png}});
    return report;
}

}  // namespace kesto::pack
