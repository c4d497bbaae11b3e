#pragma once
// Matching an argument against an option name. No platform calls here, so the
// same code also builds natively for fuzzing.
#include <cstddef>

namespace kesto {

// Folds A-Z onto a-z and leaves every other code unit as it is.
inline wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + (L'a' - L'A')) : c; }

// Whether arg starts with the prefix made of lead ('/' or '-') and name,
// ASCII letters compared without regard to case.
bool StartsWithOption(const wchar_t* arg, wchar_t lead, const wchar_t* name);

// The index of the first argument, from 1 on (entry 0 is the program and is
// never looked at), that starts with "/name" or "-name"; -1 when none does.
// For each argument the "/" form is tried before the "-" form.
int FindOption(const wchar_t* const* argv, int argc, const wchar_t* name);

}  // namespace kesto
