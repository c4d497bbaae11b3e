// The message formatter: "%s", "%d" with zero padding and widths, "%%", and
// what happens to everything else and at the end of the buffer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "log/format.h"

namespace kesto {
namespace {

template <typename... Values>
std::wstring Format(const wchar_t* format, Values... values) {
    wchar_t text[256];
    size_t length = FormatText(text, 256, format, values...);
    EXPECT_EQ(length, wcslen(text)) << format;
    // Measuring without a buffer gives the same length as writing.
    EXPECT_EQ(FormatText(nullptr, 0, format, values...), length) << format;
    return text;
}

TEST(LogFormat, DecimalsWithZeroPaddingAndWidths) {
    EXPECT_EQ(Format(L"%d", 0), L"0");
    EXPECT_EQ(Format(L"%04d", 7), L"0007");
    EXPECT_EQ(Format(L"%04d", 2026), L"2026");
    EXPECT_EQ(Format(L"%02d", 12345), L"12345");  // a width is a minimum, never a cut
    EXPECT_EQ(Format(L"%5d|", 42), L"   42|");
    EXPECT_EQ(Format(L"%04d/%02d/%02d %02d:%02d:%02d - ", 987, 3, 5, 4, 7, 9), L"0987/03/05 04:07:09 - ");
    EXPECT_EQ(Format(L"return %d.", 141950978), L"return 141950978.");
}

TEST(LogFormat, NegativeNumbersAndTheExtremes) {
    EXPECT_EQ(Format(L"%d", -1), L"-1");
    EXPECT_EQ(Format(L"%04d", -5), L"-005");  // the sign counts towards the width
    EXPECT_EQ(Format(L"%4d", -5), L"  -5");
    EXPECT_EQ(Format(L"%d", INT_MAX), L"2147483647");
    EXPECT_EQ(Format(L"%d", INT_MIN), L"-2147483648");
    EXPECT_EQ(Format(L"%012d", INT_MIN), L"-02147483648");
    // An exit code above INT_MAX is passed as an int and written signed.
    EXPECT_EQ(Format(L"%d", int(0xC0000005u)), L"-1073741819");
}

TEST(LogFormat, WideStringsIncludingEmptyAndNull) {
    EXPECT_EQ(Format(L"TempFolder: %s.", L"C:\\Temp\\QzEXF0000"), L"TempFolder: C:\\Temp\\QzEXF0000.");
    EXPECT_EQ(Format(L"[%s]", L""), L"[]");
    EXPECT_EQ(Format(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]");
    EXPECT_EQ(Format(L"%s=%d", L"\u00e9\u4e2d", -3), L"\u00e9\u4e2d=-3");
    // A value's own percent signs are text, not conversions.
    EXPECT_EQ(Format(L"%s", L"100%d %s"), L"100%d %s");
}

TEST(LogFormat, PercentSignsAndUnknownConversionsAreCopied) {
    EXPECT_EQ(Format(L"100%%"), L"100%");
    EXPECT_EQ(Format(L"%%d"), L"%d");
    // Unknown conversions take no value: the %d after them gets the first.
    EXPECT_EQ(Format(L"%x %u %ls %d", 5), L"%x %u %ls 5");
    EXPECT_EQ(Format(L"%5%"), L"%5%");
    // A format that ends inside a conversion.
    EXPECT_EQ(Format(L"50%"), L"50%");
    EXPECT_EQ(Format(L"50%04"), L"50%04");
}

TEST(LogFormat, TruncatesToTheBufferAndStillReturnsTheWholeLength) {
    wchar_t text[8];
    wmemset(text, L'#', 8);
    EXPECT_EQ(FormatText(text, 5, L"abc%sdef", L"XYZ"), 9u);
    EXPECT_EQ(std::wstring(text), L"abcX");
    EXPECT_EQ(text[5], L'#');  // nothing written past the bound

    wmemset(text, L'#', 8);
    EXPECT_EQ(FormatText(text, 3, L"%04d", 12), 4u);
    EXPECT_EQ(std::wstring(text), L"00");

    wmemset(text, L'#', 8);
    EXPECT_EQ(FormatText(text, 1, L"%d", 123), 3u);
    EXPECT_EQ(text[0], L'\0');
    EXPECT_EQ(text[1], L'#');

    // No room at all: nothing is written, not even a terminator.
    wmemset(text, L'#', 8);
    EXPECT_EQ(FormatText(text, 0, L"abc"), 3u);
    EXPECT_EQ(text[0], L'#');

    // Exactly enough room for the text and its terminator.
    EXPECT_EQ(FormatText(text, 4, L"a%sc", L"b"), 3u);
    EXPECT_EQ(std::wstring(text), L"abc");
}

}  // namespace
}  // namespace kesto
