// identity_probe: what Windows' own calls read of a program's identity.
//
//   identity_probe.exe PROGRAM SIZE...
//
// Prints, one fact a line, in UTF-8:
//   numbers FILE PRODUCT        the version resource's fixed numbers (GetFileVersionInfoW, VerQueryValueW "\")
//   translation LANG CODEPAGE   \VarFileInfo\Translation, in hexadecimal
//   NAME=VALUE                  each version string of that table that is there
//   icons N                     ExtractIconExW's count of icons in the file
//   extracted LARGE SMALL       the first icon's large and small sizes by ExtractIconExW
//   size S: image ID, WxH       for each SIZE: the image LookupIconIdFromDirectoryEx picks
//                               from icon group 1, and LoadImageW's icon at that size
// Exit status: 0 when every call worked, 1 otherwise (the failed call named).
#include <windows.h>
#include <shellapi.h>
#include <winver.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size > 0 ? size - 1 : 0), '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

int Failed(const char* call) {
    std::printf("failed: %s (error %lu)\n", call, GetLastError());
    return 1;
}

// The size of an icon handle's image, "WxH".
std::string IconSize(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return "no icon info";
    BITMAP bitmap{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    const LONG height = info.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2;
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    return std::to_string(bitmap.bmWidth) + "x" + std::to_string(height);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: identity_probe PROGRAM SIZE...\n");
        return 2;
    }
    const wchar_t* program = argv[1];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program, &ignored);
    if (size == 0) return Failed("GetFileVersionInfoSizeW");
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(program, 0, size, block.data())) return Failed("GetFileVersionInfoW");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof(*fixed))
        return Failed("VerQueryValueW \\");
    std::printf("numbers %u.%u.%u.%u %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
                LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    WORD* translation = nullptr;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 4)
        return Failed("VerQueryValueW \\VarFileInfo\\Translation");
    std::printf("translation %04X %04X\n", translation[0], translation[1]);
    for (const wchar_t* name : {L"Comments", L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                                L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename", L"ProductName",
                                L"ProductVersion"}) {
        wchar_t path[128];
        std::swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
        wchar_t* value = nullptr;
        if (VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&value), &length) && value != nullptr)
            std::printf("%s=%s\n", Utf8(name).c_str(), Utf8(value).c_str());
    }

    std::printf("icons %u\n", ExtractIconExW(program, -1, nullptr, nullptr, 0));
    HICON large = nullptr, small = nullptr;
    if (ExtractIconExW(program, 0, &large, &small, 1) == 0 || large == nullptr || small == nullptr)
        return Failed("ExtractIconExW");
    std::printf("extracted %s %s\n", IconSize(large).c_str(), IconSize(small).c_str());
    DestroyIcon(large);
    DestroyIcon(small);

    HMODULE module = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return Failed("LoadLibraryExW");
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    HGLOBAL loaded = group != nullptr ? LoadResource(module, group) : nullptr;
    if (loaded == nullptr) return Failed("FindResourceW RT_GROUP_ICON 1");
    for (int i = 2; i < argc; ++i) {
        const int pixels = _wtoi(argv[i]);
        const int id = LookupIconIdFromDirectoryEx(static_cast<PBYTE>(LockResource(loaded)), TRUE, pixels, pixels, LR_DEFAULTCOLOR);
        HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, pixels, pixels, LR_DEFAULTCOLOR));
        if (icon == nullptr) return Failed("LoadImageW");
        std::printf("size %d: image %d, %s\n", pixels, id, IconSize(icon).c_str());
        DestroyIcon(icon);
    }
    FreeLibrary(module);
    return 0;
}
