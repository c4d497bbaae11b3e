// The packer's upper-case table (tools/pack/names.cpp) against Windows' own,
// for every unit of the Basic Multilingual Plane: RtlUpcaseUnicodeChar, and
// CompareStringOrdinal ignoring case, which must take a unit and the packer's
// upper case of it for one name and order neighbouring units as the packer
// does (NTFS's order of a folder). One unit differs on purpose: final sigma,
// which the upcase tables Windows writes onto NTFS volumes take for capital
// sigma and RtlUpcaseUnicodeChar (Wine's at least) does not; the packer takes
// it for capital sigma, so that such a pair is refused on every volume.
#include <windows.h>

#include <gtest/gtest.h>

#include "names.h"

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR unit);

namespace {

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

constexpr unsigned kFinalSigma = 0x03C2, kCapitalSigma = 0x03A3;

TEST(Upcase, EveryUnitAsWindowsUpcasesAndComparesIt) {
    int upcased = 0, differences = 0;
    for (unsigned unit = 0; unit < 0x10000; ++unit) {
        const char16_t packer = kesto::pack::Upcase(char16_t(unit));
        const WCHAR windows = RtlUpcaseUnicodeChar(WCHAR(unit));
        upcased += packer != unit;
        // One name "<unit>x" and another "<upper case>X".
        const WCHAR name[] = {WCHAR(unit), L'x'}, upper[] = {WCHAR(packer), L'X'};
        const bool same = ::CompareStringOrdinal(name, 2, upper, 2, TRUE) == CSTR_EQUAL;
        // The next unit: before or after, as the packer's order says.
        const WCHAR next[] = {WCHAR(unit + 1)};
        const int order = ::CompareStringOrdinal(name, 1, next, 1, TRUE) - CSTR_EQUAL;
        const int packerOrder = Sign(int(packer) - int(kesto::pack::Upcase(char16_t(unit + 1))));
        if (unit == kFinalSigma) {
            EXPECT_EQ(packer, kCapitalSigma);
            continue;
        }
        const bool nextIsSigma = unit + 1 == kFinalSigma;
        if (windows != packer || !same || (unit < 0xFFFF && !nextIsSigma && order != packerOrder)) {
            if (++differences <= 20)
                ADD_FAILURE() << std::hex << "U+" << unit << ": Windows upcases it to U+" << unsigned(windows)
                              << ", the packer to U+" << unsigned(packer) << (same ? "" : "; not the same name")
                              << std::dec << "; next unit: order " << order << ", the packer's " << packerOrder;
        }
    }
    EXPECT_EQ(differences, 0);
    std::printf("%d of 65536 units are upper-cased to another\n", upcased);
}

}  // namespace
