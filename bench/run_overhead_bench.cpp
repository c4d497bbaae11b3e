// run_overhead_bench LAUNCHER CABINET ENTRY SCRATCH ROUNDS
//
// What a whole launcher run adds to the work it has done: a run of LAUNCHER
// (started hidden) against the same two steps done directly, in a fresh
// folder: cmd /c running the system's expand.exe on CABINET with "-f:* ."
// and then the entry ENTRY (a program) out of the expanded files, both
// started as the launcher starts them. CABINET is the cabinet the launcher carries.
//
// A third contender runs the same launcher file inside this program with
// every stage timed, which shows where the difference goes: the copy, the
// two children, the wait between a child's end and the poll tick that
// notices it, and the rest. The launcher's own process start and exit is the
// whole run less that in-process run. The three take turns.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "in_process.h"
#include "launcher/run_state.h"
#include "launcher/stage_machine.h"
#include "payload/exec_cab.h"
#include "payload/partial_copy.h"
#include "process/entry.h"
#include "process/exec.h"

namespace kesto::bench {
namespace {

constexpr DWORD kStartedAsTheLauncherDoes = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;

// The moments of one in-process run, in 100 ns units.
struct Timeline {
    long long start = 0;
    long long copyStart = 0, copyEnd = 0;
    long long expandStarted = 0, expandEnded = 0, expandNoticed = 0;
    long long entryLookup = 0, entryStarted = 0, entryEnded = 0, entryNoticed = 0;
    long long end = 0;
};

Timeline g_timeline;

long long ChildExitTime() {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(g_run.child, &created, &exited, &kernel, &user)) return FileTimeNow();
    return FileTimeOf(exited);
}

bool TimedPartialCopy() {
    g_timeline.copyStart = FileTimeNow();
    bool copied = PartialCopy();
    g_timeline.copyEnd = FileTimeNow();
    return copied;
}

HANDLE TimedExecCab() {
    HANDLE child = ExecCab();
    g_timeline.expandStarted = FileTimeNow();
    return child;
}

HANDLE TimedExecBatOrExe() {
    g_timeline.entryLookup = FileTimeNow();
    HANDLE child = ExecBatOrExe();
    g_timeline.entryStarted = FileTimeNow();
    return child;
}

bool TimedPoll(DWORD* exitCode) {
    bool running = PollChildProcess(exitCode);
    if (!running) {
        long long now = FileTimeNow();
        if (g_timeline.entryStarted == 0) {
            g_timeline.expandNoticed = now;
            g_timeline.expandEnded = ChildExitTime();
        } else {
            g_timeline.entryNoticed = now;
            g_timeline.entryEnded = ChildExitTime();
        }
    }
    return running;
}

Timeline RunTimedInProcess(const std::wstring& launcher) {
    g_timeline = Timeline();
    g_stages.PartialCopy = TimedPartialCopy;
    g_stages.ExecCab = TimedExecCab;
    g_stages.ExecBatOrExe = TimedExecBatOrExe;
    g_stages.PollChildProcess = TimedPoll;
    g_timeline.start = FileTimeNow();
    int exitCode = test::RunInProcess(launcher, L"", SW_HIDE);
    g_timeline.end = FileTimeNow();
    test::ResetForTest();
    if (exitCode != 0 || g_timeline.entryNoticed == 0) Fail("the in-process run returned " + std::to_string(exitCode));
    return g_timeline;
}

double LauncherRun(const std::wstring& launcher) {
    double start = Now();
    DWORD exitCode = RunHidden(L"\"" + launcher + L"\"");
    double seconds = Now() - start;
    if (exitCode != 0) Fail("the launcher returned " + std::to_string(exitCode));
    return seconds;
}

double DirectRun(const std::wstring& cabinet, const std::wstring& entry, const std::wstring& folder) {
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    double start = Now();
    if (!FreshFolder(folder)) Fail("cannot make a fresh folder");
    const std::wstring folderOfSystem = system;
    DWORD expanded = RunHidden(L"\"" + folderOfSystem + L"\\cmd.exe\" /c \"\"" + folderOfSystem + L"\\expand.exe\" \"" + cabinet +
                                   L"\" -f:* .\"",
                               folder, kStartedAsTheLauncherDoes);
    DWORD entryCode = RunHidden(L"\"" + folder + L"\\" + entry + L"\"", folder, kStartedAsTheLauncherDoes);
    double seconds = Now() - start;
    if (expanded != 0 || entryCode != 0) Fail("the direct run failed");
    Remove(folder);
    return seconds;
}

std::string Seconds(const Stats& stats) {
    return Fixed(stats.median, 3) + " s";
}

int Main(int argc, wchar_t** argv) {
    if (argc != 6) Fail("usage: run_overhead_bench LAUNCHER CABINET ENTRY SCRATCH ROUNDS");
    test::ResetForTest();
    const std::wstring launcher = ArgumentPath(argv[1]);
    const std::wstring cabinet = ArgumentPath(argv[2]);
    const std::wstring entry = argv[3];
    const std::wstring scratch = ArgumentPath(argv[4]);
    const int rounds = std::max(1, _wtoi(argv[5]));
    if (!FreshFolder(scratch)) Fail("cannot make the scratch folder");

    // One unmeasured run of each: the first start of a program under Wine
    // costs more than the later ones.
    LauncherRun(launcher);
    DirectRun(cabinet, entry, scratch + L"\\direct");

    std::vector<double> launcherRuns, directRuns, differences;
    std::vector<Timeline> timelines;
    for (int round = 0; round < rounds; ++round) {
        double launcherSeconds = 0, directSeconds = 0;
        for (int turn = 0; turn < 3; ++turn) {
            switch ((round + turn) % 3) {
                case 0: launcherSeconds = LauncherRun(launcher); break;
                case 1: directSeconds = DirectRun(cabinet, entry, scratch + L"\\direct"); break;
                default: timelines.push_back(RunTimedInProcess(launcher)); break;
            }
        }
        launcherRuns.push_back(launcherSeconds);
        directRuns.push_back(directSeconds);
        differences.push_back(launcherSeconds - directSeconds);
    }
    Remove(scratch);

    const Stats whole = Summarize(launcherRuns);
    const Stats direct = Summarize(directRuns);
    const Stats difference = Summarize(differences);
    Row row;
    row.measure = "3 run overhead: whole launcher run, 1 MiB package, entry exits at once";
    row.median = Seconds(whole);
    row.min = Fixed(whole.min, 3);
    row.max = Fixed(whole.max, 3);
    row.baseline = "cmd /c expand.exe + entry, directly: " + Seconds(direct) + " (" + Fixed(direct.min, 3) + " to " +
                   Fixed(direct.max, 3) + ")";
    row.result = "+" + Range(difference, 3, " s");
    row.target = "<= +1.2 s";
    row.met = difference.median <= 1.2 ? "yes" : "no";
    PrintRow(row);

    // Where a run's time goes, from the in-process runs; the launcher's own
    // process start and exit is the whole run less the in-process run.
    auto part = [&](const std::string& what, auto measure) {
        std::vector<double> values;
        for (int round = 0; round < rounds; ++round) values.push_back(measure(round));
        const Stats stats = Summarize(values);
        Row detail;
        detail.measure = "3 ... " + what;
        detail.median = Seconds(stats);
        detail.min = Fixed(stats.min, 3);
        detail.max = Fixed(stats.max, 3);
        detail.baseline = "-";
        detail.result = "-";
        detail.target = "-";
        detail.met = "-";
        PrintRow(detail);
    };
    auto span = [&](long long Timeline::*from, long long Timeline::*to) {
        return [&timelines, from, to](int round) { return double(timelines[round].*to - timelines[round].*from) / 1e7; };
    };
    part("launcher process start and exit (whole run less in-process run)", [&](int round) {
        return launcherRuns[round] - double(timelines[round].end - timelines[round].start) / 1e7;
    });
    part("options, work folder, window (to the copy)", span(&Timeline::start, &Timeline::copyStart));
    part("PartialCopy of the 1 MiB payload", span(&Timeline::copyStart, &Timeline::copyEnd));
    part("starting cmd.exe for the expansion", span(&Timeline::copyEnd, &Timeline::expandStarted));
    part("expansion running (cmd.exe and expand.exe)", span(&Timeline::expandStarted, &Timeline::expandEnded));
    part("expansion ended, until a poll tick noticed it", span(&Timeline::expandEnded, &Timeline::expandNoticed));
    part("finding and starting the entry", span(&Timeline::expandNoticed, &Timeline::entryStarted));
    part("entry running", span(&Timeline::entryStarted, &Timeline::entryEnded));
    part("entry ended, until a poll tick noticed it", span(&Timeline::entryEnded, &Timeline::entryNoticed));
    part("closing the window, deleting the work folder", span(&Timeline::entryNoticed, &Timeline::end));
    return 0;
}

}  // namespace
}  // namespace kesto::bench

int wmain(int argc, wchar_t** argv) { return kesto::bench::Main(argc, argv); }
