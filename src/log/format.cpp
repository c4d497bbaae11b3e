#include "log/format.h"

namespace kesto {

namespace {

// Appends to the output while there is room, and counts every character.
struct Sink {
    wchar_t* out;
    size_t capacity;
    size_t length = 0;
    void Put(wchar_t c) {
        if (out != nullptr && length + 1 < capacity) out[length] = c;
        ++length;
    }
};

void PutDecimal(Sink& sink, int value, bool zeroPad, unsigned width) {
    wchar_t digits[12];
    unsigned count = 0;
    // Work on the magnitude as unsigned so INT_MIN needs no special case.
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[count++] = wchar_t(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    unsigned used = count + (value < 0 ? 1 : 0);
    if (!zeroPad) {
        for (; used < width; ++used) sink.Put(L' ');
    }
    if (value < 0) sink.Put(L'-');
    if (zeroPad) {
        for (; used < width; ++used) sink.Put(L'0');
    }
    while (count > 0) sink.Put(digits[--count]);
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A value's control characters, the separators some editors break lines at
// and surrogates that are not half of a pair are written as \uXXXX: no value
// can end a log line and start another, and the log stays valid UTF-16.
void PutValueCharacter(Sink& sink, wchar_t c) {
    if (c >= 0x20 && (c < 0x7F || c > 0x9F) && c != 0x2028 && c != 0x2029 && (c < 0xD800 || c > 0xDFFF)) {
        sink.Put(c);
        return;
    }
    sink.Put(L'\\');
    sink.Put(L'u');
    for (int shift = 12; shift >= 0; shift -= 4) sink.Put(L"0123456789ABCDEF"[(c >> shift) & 0xF]);
}

}  // namespace

size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
    Sink sink{out, capacity};
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            sink.Put(*p);
            continue;
        }
        const wchar_t* start = p;
        bool zeroPad = false;
        unsigned width = 0;
        ++p;
        if (*p == L'0') {
            zeroPad = true;
            ++p;
        }
        while (*p >= L'0' && *p <= L'9' && width < 1000) width = width * 10 + unsigned(*p++ - L'0');
        if (*p == L'd') {
            PutDecimal(sink, va_arg(args, int), zeroPad, width);
        } else if (*p == L's') {
            const wchar_t* text = va_arg(args, const wchar_t*);
            if (text == nullptr) text = L"(null)";
            for (; *text != L'\0'; ++text) {
                if (IsHighSurrogate(text[0]) && IsLowSurrogate(text[1])) {
                    sink.Put(*text++);
                    sink.Put(*text);
                } else {
                    PutValueCharacter(sink, *text);
                }
            }
        } else if (*p == L'%' && p == start + 1) {
            sink.Put(L'%');
        } else {
            // Not a conversion of ours: copy it as written.
            for (const wchar_t* q = start; q <= p && *q != L'\0'; ++q) sink.Put(*q);
            if (*p == L'\0') break;
        }
    }
    if (out != nullptr && capacity > 0) out[sink.length < capacity ? sink.length : capacity - 1] = L'\0';
    return sink.length;
}

size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = FormatTextV(out, capacity, format, args);
    va_end(args);
    return length;
}

}  // namespace kesto
