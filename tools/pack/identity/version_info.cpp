#include "identity/version_info.h"

#include <algorithm>

#include "identity/image_bytes.h"

namespace kesto::pack {

namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoSize = 52;        // VS_FIXEDFILEINFO
constexpr size_t kBlockLimit = 65535;        // every wLength is a WORD
constexpr char16_t kStringTable[] = u"040904B0";  // English (United States), UTF-16
constexpr uint16_t kLanguage = 0x0409, kCodePage = 0x04B0;

// UTF-8 to UTF-16; false for bytes that are no UTF-8, and for a NUL.
bool ToUtf16(const std::string& text, std::u16string& wide) {
    wide.clear();
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size() || lead == 0) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2) return false;
            code = code << 6 | (next & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        if (code >= 0x10000) {
            wide.push_back(char16_t(0xD800 + ((code - 0x10000) >> 10)));
            wide.push_back(char16_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            wide.push_back(char16_t(code));
        }
        i += length;
    }
    return true;
}

std::string ToUtf8(const std::u16string& wide) {
    std::string text;
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t code = wide[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00);
        if (code < 0x80) {
            text.push_back(char(code));
        } else if (code < 0x800) {
            text += {char(0xC0 | code >> 6), char(0x80 | (code & 0x3F))};
        } else if (code < 0x10000) {
            text += {char(0xE0 | code >> 12), char(0x80 | ((code >> 6) & 0x3F)), char(0x80 | (code & 0x3F))};
        } else {
            text += {char(0xF0 | code >> 18), char(0x80 | ((code >> 12) & 0x3F)), char(0x80 | ((code >> 6) & 0x3F)),
                     char(0x80 | (code & 0x3F))};
        }
    }
    return text;
}

void PadTo4(std::string& bytes) { bytes.resize((bytes.size() + 3) / 4 * 4, '\0'); }

std::string Wide(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) Append(bytes, unit, 2);
    Append(bytes, 0, 2);
    return bytes;
}

// One block of the resource: its lengths, type and key, its value, and its
// children, each on a 4-byte boundary. wLength counts all but the padding
// behind the last child.
std::string Block(const std::u16string& key, const std::string& value, uint32_t valueLength, uint16_t type,
                  const std::vector<std::string>& children) {
    std::string block;
    Append(block, 0, 2);
    Append(block, valueLength, 2);
    Append(block, type, 2);
    block += Wide(key);
    PadTo4(block);
    block += value;
    for (const std::string& child : children) {
        PadTo4(block);
        block += child;
    }
    const uint32_t length = uint32_t(std::min(block.size(), size_t(0xFFFF)));
    block[0] = char(length & 0xFF);
    block[1] = char(length >> 8);
    return block;
}

uint32_t High(const std::array<uint16_t, 4>& numbers) { return uint32_t(numbers[0]) << 16 | numbers[1]; }
uint32_t Low(const std::array<uint16_t, 4>& numbers) { return uint32_t(numbers[2]) << 16 | numbers[3]; }

// A block read back: where its value and its children lie.
struct ReadBlock {
    std::u16string key;
    size_t value = 0, valueLength = 0, children = 0, end = 0;
    uint16_t type = 0;
};

bool ParseBlock(const std::string& data, size_t at, size_t limit, ReadBlock& block, bool valueInWords) {
    if (at + 6 > limit) return false;
    const size_t length = Get(data, at, 2);
    if (length < 6 || at + length > limit) return false;
    block = ReadBlock();
    block.end = at + length;
    block.valueLength = Get(data, at + 2, 2) * (valueInWords ? 2 : 1);
    block.type = uint16_t(Get(data, at + 4, 2));
    size_t p = at + 6;
    for (; p + 2 <= block.end && Get(data, p, 2) != 0; p += 2) block.key.push_back(char16_t(Get(data, p, 2)));
    if (p + 2 > block.end) return false;
    block.value = std::min(block.end, (p + 2 + 3) / 4 * 4);
    // Some tools count a string's value in bytes, not words: kept within the block.
    block.valueLength = std::min(block.valueLength, block.end - block.value);
    block.children = std::min(block.end, (block.value + block.valueLength + 3) / 4 * 4);
    return true;
}

}  // namespace

const std::vector<std::string>& VersionStringNames() {
    static const std::vector<std::string> names = {"Comments", "CompanyName", "FileDescription", "FileVersion",
                                                   "InternalName", "LegalCopyright", "LegalTrademarks",
                                                   "OriginalFilename", "ProductName", "ProductVersion"};
    return names;
}

std::string ParseVersionNumbers(const std::string& text, std::array<uint16_t, 4>& numbers) {
    numbers = {};
    size_t part = 0, start = 0;
    for (;; ++part) {
        const size_t end = std::min(text.find('.', start), text.size());
        const std::string digits = text.substr(start, end - start);
        if (part == 4) return "--version " + text + ": at most four numbers, X.Y.Z.W";
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
            return "--version " + text + ": \"" + digits + "\" is not a number (X[.Y[.Z[.W]]])";
        if (digits.size() > 5 || std::stoul(digits) > 65535)
            return "--version " + text + ": " + digits + " is above 65535, the largest a version part holds";
        numbers[part] = uint16_t(std::stoul(digits));
        if (end == text.size()) return std::string();
        start = end + 1;
    }
}

std::string ParseVersionString(const std::string& argument, std::pair<std::string, std::string>& string) {
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const auto& names = VersionStringNames();
    std::string list;
    for (const std::string& each : names) list += (list.empty() ? "" : ", ") + each;
    if (equals == std::string::npos) return "--info " + argument + ": needs NAME=VALUE, NAME one of " + list;
    if (std::find(names.begin(), names.end(), name) == names.end())
        return "--info " + argument + ": no version string " + name + "; the names are " + list;
    std::u16string wide;
    if (!ToUtf16(argument.substr(equals + 1), wide)) return "--info " + name + ": the value is not UTF-8 text";
    string = {name, argument.substr(equals + 1)};
    return std::string();
}

std::string WriteVersionResource(const VersionInfo& info, std::string& resource) {
    std::string fixed;
    for (uint32_t field : {kFixedSignature, 0x00010000u, High(info.fileVersion), Low(info.fileVersion),
                           High(info.productVersion), Low(info.productVersion),
                           0x3Fu,        // VS_FFI_FILEFLAGSMASK
                           0u,           // no flags: a release build
                           0x00040004u,  // VOS_NT_WINDOWS32
                           1u,           // VFT_APP
                           0u, 0u, 0u})  // no subtype, no date
        Append(fixed, field, 4);
    std::vector<std::string> strings;
    size_t longest = 0;
    for (size_t i = 0; i < info.strings.size(); ++i) {
        std::u16string key, value;
        ToUtf16(info.strings[i].first, key);
        ToUtf16(info.strings[i].second, value);
        if (value.size() > info.strings[longest].second.size()) longest = i;
        strings.push_back(Block(key, Wide(value), uint32_t(value.size() + 1), 1, {}));
    }
    std::string translation;
    Append(translation, kLanguage, 2);
    Append(translation, kCodePage, 2);
    const std::string table = Block(kStringTable, "", 0, 1, strings);
    const std::string stringInfo = Block(u"StringFileInfo", "", 0, 1, {table});
    const std::string varInfo = Block(u"VarFileInfo", "", 0, 1, {Block(u"Translation", translation, 4, 0, {})});
    resource = Block(u"VS_VERSION_INFO", fixed, uint32_t(fixed.size()), 0, {stringInfo, varInfo});
    if (resource.size() > kBlockLimit)
        return "--info " + info.strings[longest].first + ": the version strings take " + std::to_string(resource.size()) +
               " bytes; Windows's version resource holds at most " + std::to_string(kBlockLimit) +
               " (its lengths are 16-bit), in UTF-16 with its headers";
    return std::string();
}

std::string ReadVersionResource(const std::string& resource, VersionInfo& info) {
    info = VersionInfo();
    ReadBlock root;
    if (!ParseBlock(resource, 0, resource.size(), root, false) || root.key != u"VS_VERSION_INFO" ||
        root.valueLength < kFixedInfoSize || Get(resource, root.value, 4) != kFixedSignature)
        return "its version resource is damaged";
    const size_t fixed = root.value;
    info.fileVersion = {uint16_t(Get(resource, fixed + 10, 2)), uint16_t(Get(resource, fixed + 8, 2)),
                        uint16_t(Get(resource, fixed + 14, 2)), uint16_t(Get(resource, fixed + 12, 2))};
    info.productVersion = {uint16_t(Get(resource, fixed + 18, 2)), uint16_t(Get(resource, fixed + 16, 2)),
                           uint16_t(Get(resource, fixed + 22, 2)), uint16_t(Get(resource, fixed + 20, 2))};
    for (size_t at = root.children; at < root.end;) {
        ReadBlock child;
        if (!ParseBlock(resource, at, root.end, child, false)) return "its version resource is damaged";
        if (child.key == u"StringFileInfo") {
            ReadBlock table;
            if (ParseBlock(resource, child.children, child.end, table, false)) {
                for (size_t s = table.children; s < table.end;) {
                    ReadBlock string;
                    if (!ParseBlock(resource, s, table.end, string, true)) return "its version strings are damaged";
                    std::u16string value;
                    for (size_t p = string.value; p + 2 <= string.value + string.valueLength && Get(resource, p, 2) != 0; p += 2)
                        value.push_back(char16_t(Get(resource, p, 2)));
                    info.strings.emplace_back(ToUtf8(string.key), ToUtf8(value));
                    s = (string.end + 3) / 4 * 4;
                }
            }
        }
        at = (child.end + 3) / 4 * 4;
    }
    return std::string();
}

std::string VersionText(const std::array<uint16_t, 4>& numbers) {
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) + "." +
           std::to_string(numbers[3]);
}

}  // namespace kesto::pack
