#include "names.h"

#include <algorithm>
#include <cstdint>
#include <map>

namespace kesto::pack {

namespace {

// Windows' upper-case table: every step-th unit from first to last is
// upper-cased by adding distance (scripts/upcase-table.py writes the runs).
struct UpcaseRun {
    char16_t first, last;
    int32_t distance;
    uint8_t step;
};
const UpcaseRun kUpcaseRuns[] = {
#include "upcase_table.inc"
};

std::u16string UpcasedUtf16(const std::string& name) {
    std::u16string units;
    if (!ToUtf16(name, units)) units.assign(name.begin(), name.end());  // not UTF-8: bytes as units
    for (char16_t& unit : units) unit = Upcase(unit);
    return units;
}

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

// The top of the package: each file at the top, and each folder there that
// holds files, in the order NTFS lists them.
struct TopName {
    std::string name;
    bool isFolder;
};
std::vector<TopName> TopNames(const std::vector<std::string>& cabinetNames) {
    // By upper-cased name: NTFS's order, one item for the names that are one to Windows.
    std::map<std::u16string, TopName> byName;
    for (const std::string& name : cabinetNames) {
        size_t separator = name.find_first_of("\\/");
        TopName item{name.substr(0, separator), separator != std::string::npos};
        byName.emplace(UpcasedUtf16(item.name), item);
    }
    std::vector<TopName> top;
    for (const auto& each : byName) top.push_back(each.second);
    return top;
}

const char* const kKinds[] = {"bat", "cmd", "exe"};

// "*.bat" matches a long name that ends in ".bat", in any case.
bool LongNameMatches(const std::string& name, const std::string& kind) {
    size_t dot = name.rfind('.');
    return dot != std::string::npos && UpperAscii(name.substr(dot + 1)) == UpperAscii(kind);
}

// A name whose extension is longer than three characters gets a short name
// whose extension is the first three of them ("setup.batch": "SETUP~1.BAT").
bool OnlyShortNameMatches(const std::string& name, const std::string& kind) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || LongNameMatches(name, kind)) return false;
    std::string extension = name.substr(dot + 1);
    extension.erase(std::remove(extension.begin(), extension.end(), ' '), extension.end());
    return extension.size() > 3 && UpperAscii(extension.substr(0, 3)) == UpperAscii(kind);
}

bool Matches(const TopName& top, const std::string& kind, bool shortNames) {
    return LongNameMatches(top.name, kind) || (shortNames && OnlyShortNameMatches(top.name, kind));
}

// The launcher's search: the first match of the first kind that has one.
const TopName* Pick(const std::vector<TopName>& top, bool shortNames, std::string& kindFound) {
    for (const char* kind : kKinds)
        for (const TopName& item : top)
            if (Matches(item, kind, shortNames)) {
                kindFound = kind;
                return &item;
            }
    return nullptr;
}

}  // namespace

std::string Join(const std::vector<std::string>& names, size_t most) {
    std::string joined;
    for (size_t i = 0; i < names.size() && i < most; ++i) joined += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > most) joined += " and " + std::to_string(names.size() - most) + " more";
    return joined;
}

bool ToUtf16(const std::string& utf8, std::u16string& utf16) {
    utf16.clear();
    for (size_t i = 0; i < utf8.size();) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > utf8.size()) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        if (code >= 0x10000) {
            utf16 += char16_t(0xD800 + ((code - 0x10000) >> 10));
            utf16 += char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            utf16 += char16_t(code);
        }
        i += length;
    }
    return true;
}

char16_t Upcase(char16_t unit) {
    if (unit < 0x80) return unit >= 'a' && unit <= 'z' ? char16_t(unit - 32) : unit;
    // The last run that starts at or before unit.
    const UpcaseRun* run = std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), unit,
                                            [](char16_t each, const UpcaseRun& r) { return each < r.first; });
    if (run == std::begin(kUpcaseRuns)) return unit;
    --run;
    if (unit > run->last || (unit - run->first) % run->step != 0) return unit;
    return char16_t(unit + run->distance);
}

int CompareNames(const std::string& a, const std::string& b) {
    std::u16string left = UpcasedUtf16(a), right = UpcasedUtf16(b);
    int order = left.compare(right);  // char16_t compares as an unsigned 16-bit value
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool SameName(const std::string& a, const std::string& b) { return CompareNames(a, b) == 0; }

std::string WindowsNameProblem(const std::string& part) {
    if (part.empty()) return "an empty name";
    for (char c : part) {
        if (static_cast<unsigned char>(c) < 0x20) return "a control character";
        if (std::string("<>:\"/\\|?*").find(c) != std::string::npos) return std::string("the character ") + c;
    }
    if (part.back() == '.' || part.back() == ' ') return "a dot or blank at its end, which Windows drops";
    std::string base = UpperAscii(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    // COM and LPT are devices with a digit or a superscript one, two or three.
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    static const char* const kNumbers[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\u00B9", "\u00B2", "\u00B3"};
    const bool numbered = (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                          std::find(std::begin(kNumbers), std::end(kNumbers), base.substr(3)) != std::end(kNumbers);
    bool device = numbered || std::find(std::begin(kDevices), std::end(kDevices), base) != std::end(kDevices);
    if (device) return "the name of a device (" + base + ")";
    return std::string();
}

bool StaysInside(const std::string& cabinetName) {
    size_t start = 0;
    for (;;) {
        size_t end = cabinetName.find_first_of("\\/", start);
        std::string part = cabinetName.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.find_first_not_of(". ") == std::string::npos) return false;  // empty, "." or ".."
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

NameCheck CheckPackageNames(const std::vector<std::string>& names) {
    NameCheck check;
    std::map<std::u16string, size_t> files;
    std::map<std::u16string, std::string> folders;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        check.index = i;
        std::u16string key;
        if (!ToUtf16(name, key)) {
            check.fault = NameCheck::kNotUtf8;
            return check;
        }
        if (!StaysInside(name)) {
            check.fault = NameCheck::kLeavesFolder;
            return check;
        }
        for (char16_t& unit : key) unit = Upcase(unit);
        for (size_t start = 0;;) {
            size_t end = name.find('\\', start);
            check.detail = WindowsNameProblem(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (!check.detail.empty()) {
                check.fault = NameCheck::kNotAllowed;
                return check;
            }
            if (end == std::string::npos) break;
            // The folder's key is the same prefix of the name's key: the
            // backslash is one unit and the parts before it are the same.
            std::u16string units;
            ToUtf16(name.substr(0, end), units);
            folders.emplace(key.substr(0, units.size()), name.substr(0, end));
            start = end + 1;
        }
        auto added = files.emplace(key, i);
        if (!added.second) {
            check.fault = NameCheck::kSameName;
            check.other = added.first->second;
            return check;
        }
    }
    for (const auto& folder : folders) {
        auto clash = files.find(folder.first);
        if (clash != files.end()) {
            check.fault = NameCheck::kSameAsFolder;
            check.index = clash->second;
            check.detail = folder.second;
            return check;
        }
    }
    check = NameCheck();
    return check;
}

std::string NameCheck::Describe(const std::vector<std::string>& names) const {
    switch (fault) {
        case kNone: return std::string();
        case kNotUtf8: return "the name is not UTF-8";
        case kLeavesFolder: return "the name " + names[index] + " would leave the folder it is unpacked into";
        case kNotAllowed: return "Windows does not allow this name (" + detail + ")";
        case kSameName: return "the same name to Windows as " + names[other];
        case kSameAsFolder: return "the same name to Windows as the folder " + detail;
    }
    return std::string();
}

EntryPrediction PredictEntry(const std::vector<std::string>& cabinetNames) {
    EntryPrediction prediction;
    std::vector<TopName> top = TopNames(cabinetNames);
    std::string kind, kindWithout;
    const TopName* entry = Pick(top, true, kind);
    const TopName* entryWithout = Pick(top, false, kindWithout);
    if (entryWithout != nullptr) prediction.entryWithoutShortNames = entryWithout->name;
    if (entry == nullptr) return prediction;
    prediction.entry = entry->name;
    prediction.pattern = "*." + kind;
    prediction.entryIsFolder = entry->isFolder;

    for (const char* each : kKinds)
        for (const TopName& item : top)
            if (OnlyShortNameMatches(item.name, each))
                prediction.warnings.push_back(item.name + " matches *." + each +
                                              " through its 8.3 short name, which ends in ." + UpperAscii(each));
    if (!prediction.Certain() && !prediction.entryIsFolder)
        prediction.warnings.push_back(
            "where 8.3 short names are made (by default on the system drive) the launcher starts " + entry->name +
            "; elsewhere " + (entryWithout != nullptr ? entryWithout->name : std::string("nothing (no entry)")));
    if (prediction.entryIsFolder)
        prediction.warnings.push_back(entry->name + " is a folder that matches " + prediction.pattern +
                                      ": the launcher picks it and cannot start it");

    bool later = false;
    for (const char* each : kKinds) {
        std::vector<std::string> matches;
        for (const TopName& item : top)
            if (Matches(item, each, true)) matches.push_back(item.name);
        if (each == kind && matches.size() > 1)
            prediction.warnings.push_back("several " + prediction.pattern + " at the top of the package (" +
                                          Join(matches) + "): the launcher starts " + entry->name +
                                          ", the first in the order Windows lists a folder");
        if (later && !matches.empty())
            prediction.warnings.push_back(Join(matches) + (matches.size() > 1 ? " are" : " is") +
                                          " not started: " + prediction.pattern + " comes before *." + each);
        if (each == kind) later = true;
    }
    return prediction;
}

std::vector<std::string> PackageWarnings(const std::vector<PackageFile>& files, const EntryPrediction& prediction) {
    std::vector<std::string> warnings = prediction.warnings;
    std::vector<std::string> tooLong;
    for (const PackageFile& file : files) {
        for (const char* request : {"indicatereboot.dat", "indicateshutdown.dat", "indicatefastshutdown.dat"})
            if (SameName(file.name.substr(0, file.name.find('\\')), request))
                warnings.push_back(std::string(request) + " is in the package: every run asks Windows for a restart or "
                                   "shutdown afterwards, extract-only runs included; let the entry write it instead");
        if (file.size == 0 && !prediction.entryIsFolder &&
            (file.name == prediction.entry || file.name == prediction.entryWithoutShortNames))
            warnings.push_back(file.name + ", which the launcher starts, is an empty file (0 bytes)");
        std::u16string units;
        if (!ToUtf16(file.name, units)) units.assign(file.name.begin(), file.name.end());
        if (kWorkFolderLength + units.size() >= kMaxPath)
            tooLong.push_back(file.name + " (" + std::to_string(units.size()) + " characters)");
    }
    if (!tooLong.empty())
        warnings.push_back("in the work folder (assumed " + std::to_string(kWorkFolderLength) + " characters, " +
                           "C:\\Users\\<name>\\AppData\\Local\\Temp\\QzEXF0000\\) the path of " + Join(tooLong, 3) +
                           " reaches Windows' " + std::to_string(kMaxPath) + " characters: expand.exe may fail to write it; "
                           "keep names below " + std::to_string(kMaxPath - kWorkFolderLength) + " characters");
    return warnings;
}

}  // namespace kesto::pack
