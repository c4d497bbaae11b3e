#include "launcher/launcher.h"

#include <string>

#include "cmdline/parse_param.h"
#include "launcher/power_request.h"
#include "launcher/run_state.h"
#include "launcher/stage_machine.h"
#include "log/log.h"
#include "platform/syscalls.h"
#include "workfolder/temp_folder.h"

namespace kesto {

namespace {

// Reads the three options. The log opens as soon as its name is known, so
// that everything after it can be logged.
void ReadOptions() {
    CParseParam options;
    std::wstring logName = options.GetOption(L"LOG:");
    if (!logName.empty()) LogOpen(logName + L"-sfxlog.log");
    std::wstring extractOnly = options.GetOption(L"ExtractOnlyMode:");
    if (!extractOnly.empty()) g_run.extractOnlyFolder = extractOnly;
    int hideFound = 0;
    options.GetOption(L"DisplaymodeOFF", &hideFound);
    if (hideFound != 0) g_run.hide = true;
}

// Registers the window class, creates the hidden stage window and runs the
// message loop until the stages are done and the window is destroyed.
void RunStages(HINSTANCE instance, int showCommand) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = StageWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = g_sys.LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kStageWindowClass;
    if (g_sys.RegisterClassExW(&windowClass) == 0) {
        g_run.exitCode = kExitRegisterClass;
        return;
    }
    // WM_CREATE posts the first stage, so the stages start with the loop.
    HWND window = g_sys.CreateWindowExW(WS_EX_TOOLWINDOW, kStageWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, nullptr);
    if (window == nullptr) {
        g_run.exitCode = kExitCreateWindow;
        return;
    }
    g_sys.ShowWindow(window, showCommand);
    g_sys.UpdateWindow(window);
    MSG message;
    while (g_sys.GetMessageW(&message, nullptr, 0, 0) > 0) {
        g_sys.TranslateMessage(&message);
        g_sys.DispatchMessageW(&message);
    }
}

}  // namespace

int RunLauncher(HINSTANCE instance, const wchar_t* commandLineTail, int showCommand) {
    g_run = RunState();  // a fresh state, also for a second run in one process
    if (commandLineTail != nullptr && lstrlenW(commandLineTail) > 0) g_run.forwardedParameters = commandLineTail;
    g_run.hide = (showCommand == SW_HIDE);
    ReadOptions();

    PowerRequest request = PowerRequest::None;
    {
        CTempFolder workFolder;
        BOOL created = g_run.extractOnlyFolder.empty() ? workFolder.Create(1, nullptr)
                                                       : workFolder.Create(0, g_run.extractOnlyFolder.c_str());
        if (!created) {
            g_run.exitCode = kExitTempFolder;
            LogMessage(L"ERROR - Failed to create a temporary folder.");
            LogMessage(L"return %d.", int(g_run.exitCode));
            LogClose();
            return int(g_run.exitCode);
        }
        g_run.workFolder = workFolder.Path();
        LogMessage(L"TempFolder: %s.", g_run.workFolder.c_str());

        RunStages(instance, showCommand);

        // Looked for while the folder still exists; carried out once it is gone.
        // An extract-only folder may hold request files from before the run:
        // there only those that this run's cabinet brought count.
        const bool extractOnly = !g_run.extractOnlyFolder.empty();
        if (!extractOnly || g_run.payloadCopied) request = CheckPowerRequest(workFolder.Path(), extractOnly);
    }
    ExecPowerRequest(request);
    LogMessage(L"return %d.", int(g_run.exitCode));
    LogClose();
    return int(g_run.exitCode);
}

}  // namespace kesto
