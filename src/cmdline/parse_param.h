#pragma once
#include <windows.h>

#include <string>

namespace kesto {

// Owns the process's command line split into arguments, and looks options up
// in it. Looking up removes nothing: the options stay in the tail that is
// forwarded to the entry.
class CParseParam {
public:
    CParseParam();
    virtual ~CParseParam();
    CParseParam(const CParseParam&) = delete;
    CParseParam& operator=(const CParseParam&) = delete;

    // The text behind "/name" or "-name" in the first argument that starts
    // with either; empty when none does. Writes 1 through found on a match and
    // leaves it alone otherwise.
    std::wstring GetOption(const wchar_t* name, int* found = nullptr) const;

private:
    LPWSTR* argv_ = nullptr;
    int argc_ = 0;
};

}  // namespace kesto
