#pragma once
// File names as Windows treats them: the order in which NTFS lists a folder,
// the names it refuses, which file the launcher starts from a package, and
// what to warn about a package's names.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kesto::pack {

// The launcher unpacks into a work folder such as
// "C:\Users\<name>\AppData\Local\Temp\QzEXF0000\", and Windows' file calls
// take paths of fewer than MAX_PATH (260) characters there. The folder is
// assumed 70 characters long: the local system account's, under which
// deployment tools run packages
// ("C:\Windows\System32\config\systemprofile\AppData\Local\Temp\QzEXF0000\"),
// and a user's with a profile folder name of up to 31 characters (a
// 20-character user name and a domain behind it).
constexpr size_t kWorkFolderLength = 70;
constexpr size_t kMaxPath = 260;

// Names joined by ", ", the first most of them and "N more".
std::string Join(const std::vector<std::string>& names, size_t most = std::numeric_limits<size_t>::max());

// A UTF-8 name as UTF-16 code units; false when the bytes are not UTF-8.
bool ToUtf16(const std::string& utf8, std::u16string& utf16);

// One UTF-16 code unit upper-cased the way Windows compares names
// (RtlUpcaseUnicodeChar, CompareStringOrdinal ignoring case, NTFS's upcase
// table): Unicode's simple upper-case mapping of the Basic Multilingual Plane
// where it goes both ways, and final sigma as capital sigma as NTFS volumes
// take it (upcase_table.inc, made by scripts/upcase-table.py).
char16_t Upcase(char16_t unit);

// NTFS's order of names in a folder: both upper-cased unit by unit, then
// compared as unsigned 16-bit values; a name before every longer name that
// begins with it. Negative, zero (the same name to Windows) or positive.
int CompareNames(const std::string& a, const std::string& b);
bool SameName(const std::string& a, const std::string& b);

// Why Windows cannot hold one part of a path under this name (a character it
// refuses, a trailing dot or blank, a device name such as "con", "lpt1",
// "com¹" or "conin$", with an extension or without), or an empty string.
std::string WindowsNameProblem(const std::string& part);

// Whether a cabinet name stays inside the folder it is unpacked into: relative,
// no empty part, no part ".." (or any part of dots and blanks only). A colon
// (a drive or a stream) is a character Windows does not allow in a name.
bool StaysInside(const std::string& cabinetName);

// What is wrong with the first of a package's names that cannot be unpacked
// on Windows as it stands, so that build, inspect and extract apply one rule.
struct NameCheck {
    enum Fault { kNone, kNotUtf8, kLeavesFolder, kNotAllowed, kSameName, kSameAsFolder };
    Fault fault = kNone;
    size_t index = 0;    // the name at fault
    size_t other = 0;    // kSameName: the earlier name that is the same to Windows
    std::string detail;  // kNotAllowed: WindowsNameProblem's reason; kSameAsFolder: the folder
    // "the name ... would leave the folder", "Windows does not allow this name (...)", ...
    std::string Describe(const std::vector<std::string>& names) const;
};
// Checks cabinet names (parts separated by backslashes): UTF-8, staying
// inside the folder they are unpacked into, every part one that Windows can
// hold, no two files (or a file and a folder) the same to Windows.
NameCheck CheckPackageNames(const std::vector<std::string>& names);

// Which entry the launcher starts from a package whose files have these
// cabinet names: the first name at the top of the package (a file, or a folder
// that holds files) that matches "*.bat", else "*.cmd", else "*.exe", in the
// order NTFS lists the folder.
//
// Where 8.3 short names are made (by default on the system drive, which
// holds the temporary folder), a pattern also matches a short name:
// "setup.batch" is listed as "SETUP~1.BAT" too and so matches "*.bat". Both
// cases are worked out; when they differ, the entry is not certain.
struct EntryPrediction {
    std::string entry;           // with short names; empty: none (extract only)
    std::string entryWithoutShortNames;
    std::string pattern;         // "*.bat", "*.cmd" or "*.exe"; empty when none
    bool entryIsFolder = false;
    std::vector<std::string> warnings;
    bool Certain() const { return entry == entryWithoutShortNames && !entryIsFolder; }
};
EntryPrediction PredictEntry(const std::vector<std::string>& cabinetNames);

// One file of a package, by its cabinet name, and its size.
struct PackageFile {
    std::string name;
    uint64_t size = 0;
};

// What build and inspect warn about a package's files: the entry's
// candidates (prediction.warnings), restart requests in the package, an
// entry that is an empty file, and names whose path in the work folder
// would reach MAX_PATH.
std::vector<std::string> PackageWarnings(const std::vector<PackageFile>& files, const EntryPrediction& prediction);

}  // namespace kesto::pack
