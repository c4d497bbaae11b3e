#pragma once
// A program's version resource (VS_VERSIONINFO): the version numbers
// (VS_FIXEDFILEINFO), the strings Windows shows on a file's Details page
// (one StringFileInfo table, English (United States) in UTF-16, "040904B0")
// and the VarFileInfo that names that table's language and code page.
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kesto::pack {

// The strings --info sets, in the order they are written.
const std::vector<std::string>& VersionStringNames();

struct VersionInfo {
    std::array<uint16_t, 4> fileVersion{}, productVersion{};
    std::vector<std::pair<std::string, std::string>> strings;  // name and value, UTF-8
};

// "X[.Y[.Z[.W]]]", each part a number of at most 65535; missing parts are 0.
// Returns an empty string or what is wrong.
std::string ParseVersionNumbers(const std::string& text, std::array<uint16_t, 4>& numbers);

// "NAME=VALUE" with one of the names above and a value in UTF-8. Returns an
// empty string or what is wrong.
std::string ParseVersionString(const std::string& argument, std::pair<std::string, std::string>& string);

// The resource's bytes. Its lengths are 16-bit (wLength, in bytes, of the
// whole resource and of each block in it): strings that do not fit into
// 65535 bytes are refused, naming the longest. Returns an empty string or
// that.
std::string WriteVersionResource(const VersionInfo& info, std::string& resource);

// Reads the numbers and the strings of the first string table back.
std::string ReadVersionResource(const std::string& resource, VersionInfo& info);

// "1.2.3.4"
std::string VersionText(const std::array<uint16_t, 4>& numbers);

}  // namespace kesto::pack
