// The log's message formatter: "%s", "%d" with zero padding and widths, "%%",
// what happens to everything else, and output bounded by the buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>

#include "log/format.h"

namespace kesto {
namespace {

// Formats into a roomy buffer and checks that the returned length is the
// length of what was written.
template <typename... Args>
std::wstring Format(const wchar_t* format, Args... args) {
    wchar_t buffer[256];
    size_t length = FormatText(buffer, 256, format, args...);
    std::wstring text(buffer);
    EXPECT_EQ(length, text.size()) << text;
    EXPECT_EQ(FormatText(nullptr, 0, format, args...), length);
    return text;
}

TEST(Format, Decimals) {
    EXPECT_EQ(Format(L"return %d.", 0), L"return 0.");
    EXPECT_EQ(Format(L"return %d.", 141950978), L"return 141950978.");
    EXPECT_EQ(Format(L"%d", -1), L"-1");
    EXPECT_EQ(Format(L"%d", INT_MIN), L"-2147483648");
    EXPECT_EQ(Format(L"%d", INT_MAX), L"2147483647");
    // An exit code above INT_MAX is passed as a DWORD and shows negative.
    EXPECT_EQ(Format(L"%d", int(0xFFFFFFFFu)), L"-1");
}

TEST(Format, PaddedDecimals) {
    EXPECT_EQ(Format(L"QzEXF%04d", 7), L"QzEXF0007");
    EXPECT_EQ(Format(L"QzEXF%04d", 12345), L"QzEXF12345");  // a width never cuts
    EXPECT_EQ(Format(L"%02d:%02d", 5, 30), L"05:30");
    EXPECT_EQ(Format(L"%04d", -5), L"-005");
    EXPECT_EQ(Format(L"%3d|", 5), L"  5|");
    EXPECT_EQ(Format(L"%3d|", -5), L" -5|");
    EXPECT_EQ(Format(L"%011d", INT_MIN), L"-2147483648");
    EXPECT_EQ(Format(L"%012d", INT_MIN), L"-02147483648");
}

TEST(Format, Texts) {
    EXPECT_EQ(Format(L"TempFolder: %s.", L"C:\\T\\QzEXF0000"), L"TempFolder: C:\\T\\QzEXF0000.");
    EXPECT_EQ(Format(L"[%s]", L""), L"[]");
    EXPECT_EQ(Format(L"%s", L"100%d %s"), L"100%d %s");  // a value's percent signs are text
    EXPECT_EQ(Format(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(Format(L"%s%s", L"a\r\n", L"\u00e9\U0001F600"), L"a\\u000D\\u000A\u00e9\U0001F600");
    // A value's control characters and line separators cannot break the
    // line; the format's own text is written as it stands.
    EXPECT_EQ(Format(L"x\r\n%s", L"\t\x7F\x85\x9F\xA0\u2028\u2029"), L"x\r\n\\u0009\\u007F\\u0085\\u009F\xA0\\u2028\\u2029");
    // A surrogate that is not half of a pair is escaped, so that the log
    // stays valid UTF-16; a pair passes as it stands.
    const std::wstring surrogates = {0xD800, L'a', 0xDC00, 0xD83D, 0xDE00, 0xDE00, 0xDBFF};
    const std::wstring pair = {0xD83D, 0xDE00};
    EXPECT_EQ(Format(L"%s", surrogates.c_str()), L"\\uD800a\\uDC00" + pair + L"\\uDE00\\uDBFF");
    EXPECT_EQ(Format(L""), L"");
}

TEST(Format, AnythingElseIsCopiedAndTakesNoValue) {
    EXPECT_EQ(Format(L"100%%"), L"100%");
    EXPECT_EQ(Format(L"%%d"), L"%d");
    EXPECT_EQ(Format(L"%x %d", 3), L"%x 3");
    EXPECT_EQ(Format(L"%ls|%d", 4), L"%ls|4");
    EXPECT_EQ(Format(L"%0%"), L"%0%");
    EXPECT_EQ(Format(L"%5%"), L"%5%");
    EXPECT_EQ(Format(L"end %"), L"end %");
    EXPECT_EQ(Format(L"end %0"), L"end %0");
    EXPECT_EQ(Format(L"end %12"), L"end %12");
    EXPECT_EQ(Format(L"***unexpredted error1***"), L"***unexpredted error1***");
}

TEST(Format, LogLineShapes) {
    EXPECT_EQ(Format(L"********** %s - %04d/%02d/%02d - %02d:%02d:%02d **********", L"Kesto", 2026, 3, 5, 14, 7, 9),
              L"********** Kesto - 2026/03/05 - 14:07:09 **********");
    EXPECT_EQ(Format(L"%04d/%02d/%02d %02d:%02d:%02d - ", 987, 3, 5, 4, 7, 9), L"0987/03/05 04:07:09 - ");
}

TEST(Format, OutputIsCutToTheBufferButTheLengthIsWhole) {
    // Cut at every place: in the format's text, a value and a padding.
    const wchar_t* format = L"%s return %08d.";
    const std::wstring whole = Format(format, L"ExecCab", -12345);
    ASSERT_EQ(whole, L"ExecCab return -0012345.");
    for (size_t capacity = 1; capacity <= whole.size() + 2; ++capacity) {
        wchar_t buffer[32];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(FormatText(buffer, capacity, format, L"ExecCab", -12345), whole.size());
        EXPECT_EQ(std::wstring(buffer), whole.substr(0, std::min(capacity - 1, whole.size())));
        EXPECT_EQ(buffer[capacity], L'#') << "wrote beyond the buffer at capacity " << capacity;
    }
    // No room at all: nothing is written, not even a terminator.
    wchar_t untouched = L'#';
    EXPECT_EQ(FormatText(&untouched, 0, L"abc"), 3u);
    EXPECT_EQ(untouched, L'#');
}

}  // namespace
}  // namespace kesto
