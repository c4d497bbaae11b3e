#include "cmdline/option_match.h"

namespace kesto {

bool StartsWithOption(const wchar_t* arg, wchar_t lead, const wchar_t* name) {
    if (arg == nullptr || arg[0] != lead) return false;
    // Comparing up to the name's end also checks that arg is long enough: a
    // shorter arg meets its terminator, which no name character equals.
    for (size_t i = 0; name[i] != L'\0'; ++i) {
        if (FoldAscii(arg[i + 1]) != FoldAscii(name[i])) return false;
    }
    return true;
}

int FindOption(const wchar_t* const* argv, int argc, const wchar_t* name) {
    if (argv == nullptr) return -1;
    for (int i = 1; i < argc; ++i) {
        if (StartsWithOption(argv[i], L'/', name) || StartsWithOption(argv[i], L'-', name)) return i;
    }
    return -1;
}

}  // namespace kesto
