// The message formatter with random formats and values: it never reads or
// writes out of bounds, the measured length is the written length, a smaller
// buffer receives a cut-off copy, and the text agrees with a plain reading of
// the conversions ("%s" with its control characters escaped, "%d" with an
// optional '0' flag and width, "%%"; anything else copied as written).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "log/format.h"

namespace {

constexpr size_t kMaxValues = 4;

struct Value {
    bool isText = false;
    int number = 0;
    const wchar_t* text = nullptr;
};

struct Conversion {
    bool isText;
    bool zeroPad;
    unsigned width;
};

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Reads the format into literal text and conversions. Widths stop growing
// at four digits; a fifth digit ends the conversion unrecognised.
std::vector<Conversion> Conversions(const std::wstring& format) {
    std::vector<Conversion> conversions;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') continue;
        size_t j = i + 1;
        bool zeroPad = j < format.size() && format[j] == L'0';
        if (zeroPad) ++j;
        unsigned width = 0;
        while (j < format.size() && IsDigit(format[j]) && width < 1000) width = width * 10 + unsigned(format[j++] - L'0');
        if (j < format.size() && (format[j] == L'd' || format[j] == L's'))
            conversions.push_back({format[j] == L's', zeroPad, width});
        i = std::min(j, format.size());
    }
    return conversions;
}

std::wstring Decimal(int value, bool zeroPad, unsigned width) {
    std::wstring digits = std::to_wstring(static_cast<long long>(value) < 0 ? -static_cast<long long>(value)
                                                                            : static_cast<long long>(value));
    std::wstring sign = value < 0 ? L"-" : L"";
    size_t used = digits.size() + sign.size();
    std::wstring padding = used < width ? std::wstring(width - used, zeroPad ? L'0' : L' ') : std::wstring();
    return zeroPad ? sign + padding + digits : padding + sign + digits;
}

// A value as the formatter writes it: control characters, line separators
// and surrogates that do not stand high before low as \uXXXX.
std::wstring Escaped(const wchar_t* value) {
    std::wstring text;
    for (; *value != L'\0'; ++value) {
        wchar_t c = *value;
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && value[1] >= 0xDC00 && value[1] <= 0xDFFF) {
            text.push_back(c);
            text.push_back(*++value);
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c <= 0xDFFF)) {
            wchar_t escape[7];
            std::swprintf(escape, 7, L"\\u%04X", unsigned(c));
            text += escape;
        } else {
            text.push_back(c);
        }
    }
    return text;
}

std::wstring Expected(const std::wstring& format, const std::vector<Value>& values) {
    std::wstring text;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') {
            text.push_back(format[i]);
            continue;
        }
        size_t j = i + 1;
        bool zeroPad = j < format.size() && format[j] == L'0';
        if (zeroPad) ++j;
        unsigned width = 0;
        while (j < format.size() && IsDigit(format[j]) && width < 1000) width = width * 10 + unsigned(format[j++] - L'0');
        if (j < format.size() && format[j] == L'd') {
            text += Decimal(values[next++].number, zeroPad, width);
        } else if (j < format.size() && format[j] == L's') {
            const wchar_t* value = values[next++].text;
            text += value == nullptr ? L"(null)" : Escaped(value);
        } else if (j == i + 1 && j < format.size() && format[j] == L'%') {
            text.push_back(L'%');
        } else {
            text += format.substr(i, j + 1 - i);  // up to the end when j ran out
        }
        i = std::min(j, format.size());
    }
    return text;
}

// Calls FormatText with the values as its arguments, each with its own type.
template <typename... Args>
size_t Call(wchar_t* out, size_t capacity, const wchar_t* format, const Value* values, size_t count, Args... args) {
    if constexpr (sizeof...(Args) == kMaxValues) {
        return kesto::FormatText(out, capacity, format, args...);
    } else {
        if (count == 0) return kesto::FormatText(out, capacity, format, args...);
        if (values->isText) return Call(out, capacity, format, values + 1, count - 1, args..., values->text);
        return Call(out, capacity, format, values + 1, count - 1, args..., values->number);
    }
}

std::unique_ptr<wchar_t[]> ExactCopy(const std::wstring& text) {
    std::unique_ptr<wchar_t[]> copy(new wchar_t[text.size() + 1]);
    text.copy(copy.get(), text.size());
    copy[text.size()] = L'\0';
    return copy;
}

std::wstring DrawText(FuzzedDataProvider& input, size_t maxLength) {
    std::wstring text;
    size_t length = input.ConsumeIntegralInRange<size_t>(0, maxLength);
    for (size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        uint8_t byte = input.ConsumeIntegral<uint8_t>();
        if (byte == 0) break;
        // Bytes up to 0x9F stand for themselves (C0 and C1 controls among
        // them), 0xF0 and up for U+2020 to U+202F (the line and paragraph
        // separators among them), 0xE0 to 0xEF for high and low surrogates
        // (paired or not), the others for code units beyond Latin-1.
        text.push_back(byte < 0xA0   ? wchar_t(byte)
                       : byte >= 0xF0 ? wchar_t(0x2020 + byte - 0xF0)
                       : byte >= 0xE8 ? wchar_t(0xDC00 + byte - 0xE8)
                       : byte >= 0xE0 ? wchar_t(0xDBFC + byte - 0xE0)
                                      : wchar_t(0x100 + byte));
    }
    return text;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider input(bytes, size);
    std::wstring format = DrawText(input, 64);
    std::vector<Conversion> conversions = Conversions(format);
    if (conversions.size() > kMaxValues) return 0;

    std::vector<std::unique_ptr<wchar_t[]>> texts;
    std::vector<Value> values;
    for (const Conversion& conversion : conversions) {
        Value value;
        value.isText = conversion.isText;
        if (!value.isText) {
            value.number = input.ConsumeIntegral<int>();
        } else if (!input.ConsumeBool()) {
            texts.push_back(ExactCopy(DrawText(input, 32)));
            value.text = texts.back().get();
        }
        values.push_back(value);
    }
    std::unique_ptr<wchar_t[]> formatCopy = ExactCopy(format);
    const size_t count = values.size();

    // Measured, then written into a buffer of exactly the measured size.
    size_t measured = Call(nullptr, 0, formatCopy.get(), values.data(), count);
    std::unique_ptr<wchar_t[]> whole(new wchar_t[measured + 1]);
    Check(Call(whole.get(), measured + 1, formatCopy.get(), values.data(), count) == measured);
    std::wstring written(whole.get());
    Check(written.size() == measured);
    Check(written == Expected(format, values));

    // A smaller buffer receives the beginning and a terminator, nothing more.
    size_t capacity = input.ConsumeIntegralInRange<size_t>(0, measured);
    std::unique_ptr<wchar_t[]> cut(new wchar_t[capacity == 0 ? 1 : capacity]);
    cut[0] = L'#';
    Check(Call(cut.get(), capacity, formatCopy.get(), values.data(), count) == measured);
    if (capacity == 0) {
        Check(cut[0] == L'#');
    } else {
        Check(std::wstring(cut.get()) == written.substr(0, capacity - 1));
    }
    return 0;
}
