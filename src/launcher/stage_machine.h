#pragma once
// The stages of a run, driven by private messages the stage window posts to
// itself: copy the payload, start the expansion and poll it, then start the
// entry and poll it. Each failure sets its exit code, logs one line and closes
// the window.
#include <windows.h>

namespace kesto {

enum : UINT {
    WM_PARTIAL_COPY = WM_APP + 201,
    WM_EXEC_CAB = WM_APP + 202,
    WM_EXEC_CAB_RETURN = WM_APP + 203,            // wParam: the expansion's exit code
    WM_EXEC_BAT_OR_EXE = WM_APP + 204,
    WM_EXEC_BAT_OR_EXE_RETURN = WM_APP + 205,     // wParam: the entry's exit code
};

enum : UINT_PTR { ID_TIMER_EXEC_CAB = 1, ID_TIMER_EXEC_BAT_OR_EXE = 2 };
constexpr UINT kPollIntervalMs = 500;

// The stage operations the machine calls. Their values are the real stages;
// the stage machine's own tests put theirs in to choose each stage's result.
struct StageOperations {
    bool (*PartialCopy)();
    HANDLE (*ExecCab)();
    HANDLE (*ExecBatOrExe)();
    bool (*PollChildProcess)(DWORD* exitCode);
};
extern StageOperations g_stages;
void ResetStageOperations();

LRESULT CALLBACK StageWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kesto
