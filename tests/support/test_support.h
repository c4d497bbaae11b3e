#pragma once
// What the Windows tests share: paths, scratch folders, files, logs, launcher
// files, the stage window, the registry and access lists. Child processes and
// child roles: child.h, included here.
#include <windows.h>

#include <string>
#include <vector>

#include "child.h"

namespace kesto::test {

// A Unix path ("/work/x") as Wine shows it ("Z:\work\x"); other paths unchanged.
std::wstring WindowsPath(const std::string& path);

// An environment variable holding a path, as a Windows path; empty when unset.
std::wstring EnvironmentPath(const char* name);

// The stub under test (KESTO_STUB) and the build's test data (KESTO_TEST_DATA).
std::wstring StubPath();
std::wstring TestData(const std::wstring& name);

// A new empty folder, removed with everything in it when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& hint = L"t");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);
// Removes a file or a folder with everything in it; true when nothing is left.
bool RemoveTree(const std::wstring& path);
// RemoveTree, tried again for up to five seconds while something still holds
// the tree (an ended child's current directory, under Wine).
bool RemoveTreeWhenReleased(const std::wstring& path);
bool MakeFolders(const std::wstring& path);
// The names in a folder, "." and ".." left out, sorted.
std::vector<std::wstring> ListFolder(const std::wstring& folder);

std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool WriteText(const std::wstring& path, const std::string& text);

// The command line with which the launcher has the cabinet in the folder work
// expanded: the system's cmd.exe running the system's expand.exe, both by
// their full paths in systemFolder (by default the test prefix's own).
std::wstring ExpansionCommandLine(const std::wstring& work, const std::wstring& systemFolder = L"C:\\windows\\system32");

// Every line of the log (prefixes removed, banner left out) of a whole run
// whose entry is the program name at the top of the work folder work, started
// with tail as it is logged, that ended with code.
std::vector<std::wstring> ProgramEntryRunLog(const std::wstring& logFile, const std::wstring& work,
                                             const std::wstring& program, const std::wstring& tail, int code);

// A launcher file: the stub, optionally the digest record of the cabinet, the
// marker, and the cabinet with every byte complemented.
std::string MarkerBytes();
std::string Complemented(std::string bytes);
std::string DigestRecord(const std::string& cabinet);
std::string LauncherBytes(const std::string& image, const std::string& cabinet, bool withDigest = false);
bool ComposeLauncher(const std::wstring& out, const std::wstring& cabinet,
                     const std::wstring& stub = StubPath());

// The lines of a UTF-16LE log, without their CR LF. The byte-order mark, when
// there, is dropped; hasByteOrderMark says whether it was.
std::vector<std::wstring> ReadLogLines(const std::wstring& path, bool* hasByteOrderMark = nullptr);
// A message line's text behind its 22-character time prefix; the line itself
// when it carries no prefix of that form.
std::wstring WithoutTimePrefix(const std::wstring& line);
// Every line of a log, prefixes removed, the banner (first line) left out.
std::vector<std::wstring> LogMessages(const std::wstring& path);

// Waits until the condition holds, looking every 2 ms, for at most timeoutMs;
// false when it never did.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 60000) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 2) {
        if (condition()) return true;
        ::Sleep(2);
    }
    return false;
}

// The hidden stage window of the launcher with process id pid, found by its
// window class as another program finds it; null while it has none.
HWND FindStageWindow(DWORD pid);

// The strings of a REG_MULTI_SZ value, in order, empty ones included; none
// when the value is missing.
std::vector<std::wstring> ReadMultiString(HKEY root, const wchar_t* key, const wchar_t* value);

// The names registered for deletion at the next restart (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT), in the order of registration, without the
// "\??\" prefix the system stores them with.
std::vector<std::wstring> PendingRestartDeletions();

// The test process's own user (a TOKEN_USER block) and a well-known SID.
std::vector<BYTE> OwnUser();
std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type);
// Checks that descriptor holds a protected access list that grants full
// control to the trustees, in that order, with these inheritance flags.
void ExpectPrivateList(const SECURITY_DESCRIPTOR* descriptor, const std::vector<PSID>& trustees, BYTE aceFlags);

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Links. Whether path is a reparse point (a link) as Windows programs see it.
bool IsLink(const std::wstring& path);
// Under Wine, the host's name of a Windows path; empty elsewhere.
std::string HostPath(const std::wstring& path);
// Runs a shell script on the host under Wine and waits for it; true when it
// ended with 0.
bool RunOnHost(const std::string& script);

// A link at link to the folder target, removed (the link only) when it goes.
// Windows makes a symbolic link. Wine 8 reports success for that without
// making anything; there the link is the host's symbolic link, which Wine
// shows as a folder with the reparse attribute.
class FolderLink {
public:
    FolderLink(const std::wstring& link, const std::wstring& target);
    ~FolderLink();
    FolderLink(const FolderLink&) = delete;
    FolderLink& operator=(const FolderLink&) = delete;

private:
    std::wstring link_;
};

}  // namespace kesto::test
