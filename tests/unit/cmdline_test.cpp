// The option lookup: which argument is an option, and what its value is.
#include <gtest/gtest.h>

#include "cmdline/parse_param.h"
#include "in_process.h"
#include "platform/syscalls.h"

namespace kesto {
namespace {

// Looks name up on a command line made of the program and tail.
std::wstring Lookup(const std::wstring& tail, const wchar_t* name, int* found = nullptr) {
    test::PretendStartedAs(L"C:\\pkg\\setup.exe", tail);
    CParseParam options;
    return options.GetOption(name, found);
}

class OptionLookup : public ::testing::Test {
    test::OverrideScope overrides_;
};

TEST_F(OptionLookup, SlashOrDashAnyAsciiCaseValueKeepsItsCase) {
    EXPECT_EQ(Lookup(L"/LOG:C:\\x", L"LOG:"), L"C:\\x");
    EXPECT_EQ(Lookup(L"-LOG:C:\\x", L"LOG:"), L"C:\\x");
    EXPECT_EQ(Lookup(L"/log:C:\\X\\Y", L"LOG:"), L"C:\\X\\Y");
    EXPECT_EQ(Lookup(L"/ExtractOnlyMode:\"C:\\with blank\"", L"ExtractOnlyMode:"), L"C:\\with blank");
    EXPECT_EQ(Lookup(L"/LOG:a:b:c", L"LOG:"), L"a:b:c");
}

TEST_F(OptionLookup, EmptyValueStillCountsAsFound) {
    int found = 0;
    EXPECT_EQ(Lookup(L"/LOG:", L"LOG:", &found), L"");
    EXPECT_EQ(found, 1);
    // "/LOG: C:\x" is two arguments: the path is not the value.
    found = 0;
    EXPECT_EQ(Lookup(L"/LOG: C:\\x", L"LOG:", &found), L"");
    EXPECT_EQ(found, 1);
}

TEST_F(OptionLookup, NearMissesDoNotMatchAndLeaveTheFlagAlone) {
    for (const wchar_t* tail : {L"/LOGFILE", L"/LOG", L"LOG:C:\\x", L"--LOG:C:\\x", L"/ LOG:x", L"\"\""}) {
        int found = 7;
        EXPECT_EQ(Lookup(tail, L"LOG:", &found), L"") << tail;
        EXPECT_EQ(found, 7) << tail;
    }
}

TEST_F(OptionLookup, FirstMatchingArgumentWins) {
    EXPECT_EQ(Lookup(L"/LOG:a -LOG:b", L"LOG:"), L"a");
    EXPECT_EQ(Lookup(L"-LOG:b /LOG:a", L"LOG:"), L"b");
    EXPECT_EQ(Lookup(L"x /LOGX -log:c /LOG:d", L"LOG:"), L"c");
}

TEST_F(OptionLookup, PresenceOnlyOptionMatchesAsAPrefix) {
    for (const wchar_t* tail : {L"/DisplaymodeOFF", L"-displaymodeoff", L"/DisplaymodeOFFxyz", L"a /DISPLAYMODEOFF"}) {
        int found = 0;
        Lookup(tail, L"DisplaymodeOFF", &found);
        EXPECT_EQ(found, 1) << tail;
    }
}

TEST_F(OptionLookup, ProgramPathIsNeverAnOption) {
    test::PretendStartedAs(L"/LOG:C:\\x", L"");
    CParseParam options;
    int found = 0;
    EXPECT_EQ(options.GetOption(L"LOG:", &found), L"");
    EXPECT_EQ(found, 0);
}

TEST_F(OptionLookup, OnlyAsciiLettersFoldCase) {
    // U+00C9 and U+00E9 are one letter in two cases; they are not folded.
    EXPECT_EQ(Lookup(L"/\u00c9:v", L"\u00e9:"), L"");
    EXPECT_EQ(Lookup(L"/\u00e9:v", L"\u00e9:"), L"v");
    // '@' and '`' sit next to the letter ranges and must not fold either.
    EXPECT_EQ(Lookup(L"/@:v", L"`:"), L"");
}

TEST_F(OptionLookup, FailedSplitMeansNoArguments) {
    // CommandLineToArgvW of an empty command line gives the program path
    // alone; nothing is found.
    test::PretendStartedAs(L"", L"");
    CParseParam options;
    int found = 0;
    EXPECT_EQ(options.GetOption(L"LOG:", &found), L"");
    EXPECT_EQ(found, 0);
}

}  // namespace
}  // namespace kesto
