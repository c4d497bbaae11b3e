// The option lookup over random argument vectors must agree with a plain
// reading of the rule: the first argument from entry 1 on that is at least as
// long as "/name" or "-name" and starts with it, A-Z folded onto a-z.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cmdline/option_match.h"

namespace {

// Characters that make matches and near misses likely: the options' letters
// in both cases, the leads, and letters that only look like ASCII ones.
const wchar_t kAlphabet[] = {L'/', L'-', L':', L'L', L'O', L'G', L'l', L'o', L'g', L'E', L'x', L'M', L'd',
                             L'D', L'F', L'f', L'@', L'`', L'[', L'{', L' ', L'\\', L'"', 0x00C9, 0x00E9,
                             0x212A, 0x017F, L'k', L's', L'K', L'S'};

std::wstring DrawText(FuzzedDataProvider& input, size_t maxLength) {
    std::wstring text;
    size_t length = input.ConsumeIntegralInRange<size_t>(0, maxLength);
    for (size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        uint16_t unit = input.ConsumeIntegral<uint16_t>();
        wchar_t c = (unit & 0x8000) != 0 ? wchar_t(unit & 0x7FFF) : kAlphabet[unit % (sizeof(kAlphabet) / sizeof(wchar_t))];
        text.push_back(c == 0 ? L'?' : c);
    }
    return text;
}

wchar_t Fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

bool ReferenceMatches(const std::wstring& arg, wchar_t lead, const std::wstring& name) {
    std::wstring prefix = lead + name;
    if (arg.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Fold(arg[i]) != Fold(prefix[i])) return false;
    }
    return true;
}

int ReferenceFind(const std::vector<std::wstring>& args, const std::wstring& name) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (ReferenceMatches(args[i], L'/', name) || ReferenceMatches(args[i], L'-', name)) return int(i);
    }
    return -1;
}

// A zero-terminated copy in an allocation of exactly its size, so that a
// read past the terminator is caught.
std::unique_ptr<wchar_t[]> ExactCopy(const std::wstring& text) {
    std::unique_ptr<wchar_t[]> copy(new wchar_t[text.size() + 1]);
    text.copy(copy.get(), text.size());
    copy[text.size()] = L'\0';
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider input(bytes, size);
    std::wstring name;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: name = L"LOG:"; break;
        case 1: name = L"ExtractOnlyMode:"; break;
        case 2: name = L"DisplaymodeOFF"; break;
        default: name = DrawText(input, 6); break;
    }
    std::vector<std::wstring> args;
    size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < count; ++i) args.push_back(DrawText(input, 24));

    std::vector<std::unique_ptr<wchar_t[]>> copies;
    std::vector<const wchar_t*> argv;
    for (const std::wstring& arg : args) {
        copies.push_back(ExactCopy(arg));
        argv.push_back(copies.back().get());
    }
    std::unique_ptr<wchar_t[]> nameCopy = ExactCopy(name);

    int found = kesto::FindOption(argv.empty() ? nullptr : argv.data(), int(argv.size()), nameCopy.get());
    if (found != ReferenceFind(args, name)) std::abort();
    return 0;
}
