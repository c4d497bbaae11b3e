#pragma once
// Icons: a .ico file's images, and the icon resources of a program (RT_ICON
// images and the RT_GROUP_ICON directory that names them).
#include <cstdint>
#include <string>
#include <vector>

#include "identity/pe_resources.h"

namespace kesto::pack {

struct IconImage {
    uint32_t width = 0, height = 0;  // by the image's own header
    uint16_t bitCount = 0;
    bool png = false;                // PNG-compressed (256-pixel images usually are)
    // The directory entry's fields, as the .ico file has them.
    uint8_t colorCount = 0;
    uint16_t planes = 0;
    std::string data;
};

// "16x16 8-bit, 256x256 32-bit PNG"
std::string DescribeIcon(const std::vector<IconImage>& images);

// Reads a .ico file's images. Refused, with the problem: a file that is no
// icon (a cursor included), one without images, one whose images run past
// its end, an image that is neither a bitmap nor a PNG. Problems come
// without the file's name.
std::string ParseIconFile(const std::string& bytes, std::vector<IconImage>& images);

// The resources that make images the program's icon: one RT_ICON each
// (numbered from 1) and the RT_GROUP_ICON 1 that lists them.
std::vector<Resource> IconResources(const std::vector<IconImage>& images);

// The images of the first icon group among resources (the one Explorer
// shows); none when there is none. Returns an empty string or what is wrong.
std::string ReadIconResources(const std::vector<Resource>& resources, std::vector<IconImage>& images);

}  // namespace kesto::pack
