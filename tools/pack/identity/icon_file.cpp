#include "identity/icon_file.h"

#include <cstring>

#include "identity/image_bytes.h"

namespace kesto::pack {

namespace {

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr size_t kIconDirectory = 6, kFileEntry = 16, kGroupEntry = 14;
constexpr size_t kBitmapHeader = 40;  // BITMAPINFOHEADER

// Reads an image's size and depth from its own header: a PNG's IHDR or a
// bitmap's BITMAPINFOHEADER (whose height counts the mask too).
std::string ReadImageHeader(IconImage& image) {
    const std::string& data = image.data;
    if (data.size() >= 8 && data.compare(0, 8, kPngSignature, 8) == 0) {
        if (data.size() < 33 || data.compare(12, 4, "IHDR") != 0) return "a PNG image without its header";
        auto big = [&](size_t at) { return uint32_t(Get(data, at + 3, 1) | Get(data, at + 2, 1) << 8 | Get(data, at + 1, 1) << 16 | Get(data, at, 1) << 24); };
        image.png = true;
        image.width = big(16);
        image.height = big(20);
        const uint32_t depth = Get(data, 24, 1), colorType = Get(data, 25, 1);
        const uint32_t channels = colorType == 6 ? 4 : colorType == 2 ? 3 : colorType == 4 ? 2 : 1;
        image.bitCount = uint16_t(depth * channels);
        return std::string();
    }
    if (data.size() < kBitmapHeader || Get(data, 0, 4) != kBitmapHeader) return "neither a bitmap nor a PNG";
    image.width = Get(data, 4, 4);
    image.height = Get(data, 8, 4) / 2;
    image.bitCount = uint16_t(Get(data, 14, 2));
    return std::string();
}

}  // namespace

std::string DescribeIcon(const std::vector<IconImage>& images) {
    std::string text;
    for (const IconImage& image : images)
        text += (text.empty() ? "" : ", ") + std::to_string(image.width) + "x" + std::to_string(image.height) + " " +
                std::to_string(image.bitCount) + "-bit" + (image.png ? " PNG" : "");
    return text;
}

std::string ParseIconFile(const std::string& bytes, std::vector<IconImage>& images) {
    images.clear();
    if (bytes.size() < kIconDirectory || Get(bytes, 0, 2) != 0 || (Get(bytes, 2, 2) != 1 && Get(bytes, 2, 2) != 2))
        return "not an icon file (no icon directory at its start)";
    if (Get(bytes, 2, 2) == 2) return "a cursor, not an icon";
    const size_t count = Get(bytes, 4, 2);
    if (count == 0) return "an icon file without images";
    if (bytes.size() < kIconDirectory + kFileEntry * count)
        return "truncated: its directory names " + std::to_string(count) + " images but the file ends at byte " +
               std::to_string(bytes.size());
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = kIconDirectory + kFileEntry * i;
        const uint64_t size = Get(bytes, entry + 8, 4), offset = Get(bytes, entry + 12, 4);
        const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (offset + size > bytes.size())
            return "truncated: " + which + " runs to byte " + std::to_string(offset + size) + ", the file ends at byte " +
                   std::to_string(bytes.size());
        IconImage image;
        image.colorCount = uint8_t(Get(bytes, entry + 2, 1));
        image.planes = uint16_t(Get(bytes, entry + 4, 2));
        image.bitCount = uint16_t(Get(bytes, entry + 6, 2));
        image.data = bytes.substr(size_t(offset), size_t(size));
        const uint16_t listedBits = image.bitCount;
        std::string problem = ReadImageHeader(image);
        if (!problem.empty()) return which + " is " + problem;
        if (image.width == 0 || image.width > 256 || image.height == 0 || image.height > 256)
            return which + " is " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                   " pixels; icons hold 1 to 256 pixels a side";
        // The directory's depth where it has one: what Windows matches sizes by.
        if (listedBits != 0 && !image.png) image.bitCount = listedBits;
        images.push_back(image);
    }
    return std::string();
}

std::vector<Resource> IconResources(const std::vector<IconImage>& images) {
    std::vector<Resource> resources;
    Resource group;
    group.type.id = kIconGroupResource;
    group.name.id = 1;
    group.language = kResourceLanguage;
    Append(group.data, 0, 2);
    Append(group.data, 1, 2);
    Append(group.data, uint32_t(images.size()), 2);
    uint16_t id = 0;
    for (const IconImage& image : images) {
        Resource icon;
        icon.type.id = kIconResource;
        icon.name.id = ++id;
        icon.language = kResourceLanguage;
        icon.data = image.data;
        resources.push_back(icon);
        // GRPICONDIRENTRY: a .ico directory entry with the resource's number for the file offset.
        Append(group.data, image.width >= 256 ? 0 : image.width, 1);
        Append(group.data, image.height >= 256 ? 0 : image.height, 1);
        Append(group.data, image.colorCount, 1);
        Append(group.data, 0, 1);
        Append(group.data, image.planes == 0 ? 1 : image.planes, 2);
        Append(group.data, image.bitCount, 2);
        Append(group.data, uint32_t(image.data.size()), 4);
        Append(group.data, id, 2);
    }
    resources.push_back(group);
    return resources;
}

std::string ReadIconResources(const std::vector<Resource>& resources, std::vector<IconImage>& images) {
    images.clear();
    const Resource* group = nullptr;
    for (const Resource& resource : resources)
        if (resource.type.name.empty() && resource.type.id == kIconGroupResource) {
            group = &resource;
            break;
        }
    if (group == nullptr) return std::string();
    const std::string& data = group->data;
    if (data.size() < kIconDirectory || data.size() < kIconDirectory + kGroupEntry * Get(data, 4, 2))
        return "its icon directory is cut short";
    for (size_t i = 0; i < Get(data, 4, 2); ++i) {
        const size_t entry = kIconDirectory + kGroupEntry * i;
        const uint16_t id = uint16_t(Get(data, entry + 12, 2));
        const Resource* icon = nullptr;
        for (const Resource& resource : resources)
            if (resource.type.name.empty() && resource.type.id == kIconResource && resource.name.name.empty() &&
                resource.name.id == id)
                icon = &resource;
        if (icon == nullptr) return "its icon directory names image " + std::to_string(id) + ", which is not there";
        IconImage image;
        image.colorCount = uint8_t(Get(data, entry + 2, 1));
        image.planes = uint16_t(Get(data, entry + 4, 2));
        image.bitCount = uint16_t(Get(data, entry + 6, 2));
        image.data = icon->data;
        const uint16_t listedBits = image.bitCount;
        std::string problem = ReadImageHeader(image);
        if (!problem.empty()) return "its icon image " + std::to_string(id) + " is " + problem;
        if (listedBits != 0 && !image.png) image.bitCount = listedBits;
        images.push_back(image);
    }
    return std::string();
}

}  // namespace kesto::pack
