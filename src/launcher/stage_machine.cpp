#include "launcher/stage_machine.h"

#include "launcher/run_state.h"
#include "log/log.h"
#include "payload/exec_cab.h"
#include "payload/partial_copy.h"
#include "platform/syscalls.h"
#include "process/entry.h"
#include "process/exec.h"

namespace kesto {

namespace {

const StageOperations kRealStages = {PartialCopy, ExecCab, ExecBatOrExe, PollChildProcess};

void Close(HWND window) { g_sys.PostMessageW(window, WM_CLOSE, 0, 0); }

void Fail(HWND window, DWORD exitCode, const wchar_t* message) {
    g_run.exitCode = exitCode;
    LogMessage(message);
    Close(window);
}

// Arms the one-shot poll timer. Should no timer be available, nothing would
// ever wake the stage again; the child is then waited for here and one tick
// is posted by hand. That tick goes on as a timer's would: it finds the child
// ended and carries the run on, or finds no child and reports it. A window
// closed meanwhile (inside the poll) needs nothing more.
void ArmPollTimer(HWND window, UINT_PTR id) {
    if (g_sys.SetTimer(window, id, kPollIntervalMs, nullptr) != 0) return;
    if (!g_sys.IsWindow(window)) return;
    if (g_run.child != nullptr) ::WaitForSingleObject(g_run.child, INFINITE);
    g_sys.PostMessageW(window, WM_TIMER, id, 0);
}

void OnPollTick(HWND window, UINT_PTR id) {
    g_sys.KillTimer(window, id);
    if (g_run.child == nullptr) {
        Fail(window, kExitNoChild, id == ID_TIMER_EXEC_CAB ? L"***unexpredted error1***" : L"***unexpredted error2***");
        return;
    }
    DWORD exitCode = 0;  // stays 0 when the child's code cannot be read
    if (g_stages.PollChildProcess(&exitCode)) {
        ArmPollTimer(window, id);
        return;
    }
    ::CloseHandle(g_run.child);
    g_run.child = nullptr;
    g_sys.PostMessageW(window, id == ID_TIMER_EXEC_CAB ? WM_EXEC_CAB_RETURN : WM_EXEC_BAT_OR_EXE_RETURN, exitCode, 0);
}

// Waits for a running child however long it takes (it is never terminated),
// then destroys the window, whose WM_DESTROY ends the message loop.
void CloseProcedure(HWND window) {
    g_sys.KillTimer(window, ID_TIMER_EXEC_CAB);
    g_sys.KillTimer(window, ID_TIMER_EXEC_BAT_OR_EXE);
    if (g_run.child != nullptr) {
        ::WaitForSingleObject(g_run.child, INFINITE);
        ::CloseHandle(g_run.child);
        g_run.child = nullptr;
    }
    g_sys.DestroyWindow(window);
}

}  // namespace

StageOperations g_stages = kRealStages;

void ResetStageOperations() { g_stages = kRealStages; }

LRESULT CALLBACK StageWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        g_run.child = nullptr;
        g_sys.PostMessageW(window, WM_PARTIAL_COPY, 0, 0);
        return 0;

    case WM_PARTIAL_COPY:
        if (g_stages.PartialCopy()) {
            g_run.payloadCopied = true;
            g_sys.PostMessageW(window, WM_EXEC_CAB, 0, 0);
        } else {
            Fail(window, kExitPartialCopy, L"Failed to PartialCopy.");
        }
        return 0;

    case WM_EXEC_CAB:
        g_run.child = g_stages.ExecCab();
        if (g_run.child != nullptr) {
            ArmPollTimer(window, ID_TIMER_EXEC_CAB);
        } else {
            Fail(window, kExitExecCab, L"Failed to ExecCab.");
        }
        return 0;

    case WM_EXEC_CAB_RETURN:
        LogMessage(L"ExecCab return %d.", int(wParam));
        if (wParam != 0) {
            Fail(window, kExitExpand, L"Failed to expand command.");
        } else if (g_run.extractOnlyFolder.empty()) {
            g_sys.PostMessageW(window, WM_EXEC_BAT_OR_EXE, 0, 0);
        } else {
            g_run.exitCode = 0;  // extract-only: expanded, nothing to start
            Close(window);
        }
        return 0;

    case WM_EXEC_BAT_OR_EXE:
        g_run.child = g_stages.ExecBatOrExe();
        if (g_run.child != nullptr) {
            ArmPollTimer(window, ID_TIMER_EXEC_BAT_OR_EXE);
        } else {
            Fail(window, kExitExecBatOrExe, L"Failed to ExecBatOrExe.");
        }
        return 0;

    case WM_EXEC_BAT_OR_EXE_RETURN:
        g_run.exitCode = DWORD(wParam);
        LogMessage(L"ExecBatOrExe return %d.", int(wParam));
        Close(window);
        return 0;

    case WM_TIMER:
        if (wParam == ID_TIMER_EXEC_CAB || wParam == ID_TIMER_EXEC_BAT_OR_EXE) {
            OnPollTick(window, wParam);
            return 0;
        }
        break;

    case WM_CLOSE:
        CloseProcedure(window);
        return 0;

    case WM_ENDSESSION:
        if (wParam) CloseProcedure(window);  // Windows is ending: log-off or shutdown
        return 0;

    case WM_DESTROY:
        g_sys.PostQuitMessage(0);
        return 0;
    }
    return g_sys.DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kesto
