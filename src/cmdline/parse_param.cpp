#include "cmdline/parse_param.h"

#include <shellapi.h>

#include "cmdline/option_match.h"
#include "platform/syscalls.h"

namespace kesto {

CParseParam::CParseParam() {
    // The whole command line, program name included, so that entry 0 is the
    // launcher itself. A failed split leaves no arguments at all.
    argv_ = g_sys.CommandLineToArgvW(g_sys.GetCommandLineW(), &argc_);
    if (argv_ == nullptr) argc_ = 0;
}

CParseParam::~CParseParam() {
    if (argv_ != nullptr) {
        g_sys.LocalFree(argv_);
        argv_ = nullptr;
    }
    argc_ = 0;
}

std::wstring CParseParam::GetOption(const wchar_t* name, int* found) const {
    int index = FindOption(argv_, argc_, name);
    if (index < 0) return std::wstring();
    if (found != nullptr) *found = 1;
    return std::wstring(argv_[index] + 1 + lstrlenW(name));
}

}  // namespace kesto
