// The option lookup on the process's own command line: how it is split into
// arguments and what an option's value is. Which argument matches a name is
// tested natively (tests/native/option_match_test.cpp).
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
    EXPECT_EQ(Lookup(L"x /LOGX -log:c /LOG:d", L"LOG:"), L"c");  // the first match
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
    for (const wchar_t* tail : {L"/LOG", L"/ LOG:x", L"\"\""}) {
        int found = 7;
        EXPECT_EQ(Lookup(tail, L"LOG:", &found), L"") << tail;
        EXPECT_EQ(found, 7) << tail;
    }
}

TEST_F(OptionLookup, ProgramPathIsNeverAnOptionNorIsAnEmptyCommandLine) {
    // CommandLineToArgvW of an empty command line gives the program path
    // alone; nothing is found.
    for (const wchar_t* program : {L"/LOG:C:\\x", L""}) {
        test::PretendStartedAs(program, L"");
        CParseParam options;
        int found = 0;
        EXPECT_EQ(options.GetOption(L"LOG:", &found), L"") << program;
        EXPECT_EQ(found, 0) << program;
    }
}

}  // namespace
}  // namespace kesto
