// Matching arguments against option names.
#include <gtest/gtest.h>

#include <vector>

#include "cmdline/option_match.h"

namespace kesto {
namespace {

// FindOption over a vector; entry 0 is the program.
int Find(std::vector<const wchar_t*> argv, const wchar_t* name) {
    return FindOption(argv.data(), int(argv.size()), name);
}

TEST(OptionMatch, SlashOrDashThenTheNameAsAPrefix) {
    EXPECT_EQ(Find({L"p", L"/LOG:C:\\x"}, L"LOG:"), 1);
    EXPECT_EQ(Find({L"p", L"-LOG:C:\\x"}, L"LOG:"), 1);
    EXPECT_EQ(Find({L"p", L"/log:"}, L"LOG:"), 1);
    EXPECT_EQ(Find({L"p", L"-dIsPlAyMoDeOfF"}, L"DisplaymodeOFF"), 1);
    EXPECT_EQ(Find({L"p", L"/DisplaymodeOFFxyz"}, L"DisplaymodeOFF"), 1);
}

TEST(OptionMatch, NearMissesDoNotMatch) {
    for (const wchar_t* arg : {L"/LOG", L"/", L"-", L"", L"LOG:x", L"--LOG:x", L"/-LOG:x", L"-/LOG:x", L" /LOG:x",
                               L"/LOGFILE", L"\\LOG:x", L"/LO G:x"})
        EXPECT_EQ(Find({L"p", arg}, L"LOG:"), -1) << arg;
}

TEST(OptionMatch, FirstMatchingArgumentWinsAndTheProgramIsSkipped) {
    EXPECT_EQ(Find({L"/LOG:p", L"x", L"-LOG:a", L"/LOG:b"}, L"LOG:"), 2);
    EXPECT_EQ(Find({L"/LOG:p"}, L"LOG:"), -1);
    EXPECT_EQ(Find({L"p", L"/LOGX", L"/ExtractOnlyMode:", L"/LOG:"}, L"LOG:"), 3);
}

TEST(OptionMatch, NoArgumentsFindNothing) {
    EXPECT_EQ(FindOption(nullptr, 0, L"LOG:"), -1);
    EXPECT_EQ(FindOption(nullptr, 5, L"LOG:"), -1);
    const wchar_t* argv[] = {L"p", L"/LOG:x"};
    EXPECT_EQ(FindOption(argv, 0, L"LOG:"), -1);
    EXPECT_EQ(FindOption(argv, 1, L"LOG:"), -1);
    // A missing argument is no match and does not stop the search.
    EXPECT_EQ(Find({L"p", nullptr, L"-LOG:y"}, L"LOG:"), 2);
}

TEST(OptionMatch, OnlyAsciiLettersFold) {
    // The neighbours of the letter ranges fold to nothing.
    EXPECT_EQ(FoldAscii(L'A'), L'a');
    EXPECT_EQ(FoldAscii(L'Z'), L'z');
    EXPECT_EQ(FoldAscii(L'@'), L'@');
    EXPECT_EQ(FoldAscii(L'['), L'[');
    EXPECT_EQ(FoldAscii(L'a'), L'a');
    EXPECT_EQ(Find({L"p", L"/["}, L"{"), -1);
    EXPECT_EQ(Find({L"p", L"/@"}, L"`"), -1);
    // A capital letter outside A-Z is not its small letter.
    EXPECT_EQ(Find({L"p", L"/\u00c9:v"}, L"\u00e9:"), -1);
    EXPECT_EQ(Find({L"p", L"/\u00e9:v"}, L"\u00e9:"), 1);
    // Neither is a letter that only looks like an ASCII one (Kelvin sign).
    EXPECT_EQ(Find({L"p", L"/\u212aEY"}, L"key"), -1);
}

TEST(OptionMatch, EmptyNameMatchesAnyLeadCharacter) {
    EXPECT_TRUE(StartsWithOption(L"/", L'/', L""));
    EXPECT_TRUE(StartsWithOption(L"-x", L'-', L""));
    EXPECT_FALSE(StartsWithOption(L"x", L'/', L""));
    EXPECT_FALSE(StartsWithOption(L"", L'/', L""));
    EXPECT_FALSE(StartsWithOption(nullptr, L'/', L""));
}

}  // namespace
}  // namespace kesto
