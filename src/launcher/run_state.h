#pragma once
// The values the stages share for the whole run. Everything runs on the one
// GUI thread, so none of them needs a lock.
#include <windows.h>

#include <string>

#include "launcher/exit_codes.h"

namespace kesto {

// How long the log lock may keep a whole run waiting, all lines together.
constexpr DWORD kLogLockRunBudgetMs = 3000;

struct RunState {
    DWORD exitCode = kExitInitial;
    std::wstring forwardedParameters;  // the whole command-line tail
    std::wstring extractOnlyFolder;    // empty: a normal run
    std::wstring workFolder;           // full path, once the folder exists
    bool hide = false;                 // started hidden, or "DisplaymodeOFF"
    bool payloadCopied = false;        // this run's cabinet is in the work folder
    HANDLE child = nullptr;            // the one running child, while polled
    HANDLE log = INVALID_HANDLE_VALUE; // INVALID_HANDLE_VALUE: no log open
    DWORD logLockWaitLeftMs = kLogLockRunBudgetMs;  // what the log lock may still wait
};

extern RunState g_run;

}  // namespace kesto
