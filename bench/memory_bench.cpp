// memory_bench BIG_LAUNCHER SMALL_LAUNCHER ROUNDS
//
// Runs two launcher files whose packages differ only in the size of their
// payload, each a whole run started hidden, and compares the peak working set
// and the peak private bytes of the launcher's process. The two take turns.
//
// Wine reports another process's memory counters only while that process
// runs (afterwards they read 0), so the launcher's counters are read every
// few milliseconds until it ends; the peaks only grow, and the last reading
// misses only the final milliseconds of the run.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "in_process.h"

namespace kesto::bench {
namespace {

struct Peaks {
    double workingSetMiB = 0;
    double privateMiB = 0;
    int readings = 0;
};

Peaks RunAndWatch(const std::wstring& launcher) {
    std::wstring commandLine = L"\"" + launcher + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        Fail("cannot start the launcher");
    ::CloseHandle(process.hThread);

    Peaks peaks;
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPrivate = 0;
    for (;;) {
        bool ended = ::WaitForSingleObject(process.hProcess, 2) == WAIT_OBJECT_0;
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof(counters);
        if (::GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof(counters)) &&
            counters.PeakWorkingSetSize != 0) {
            peakWorkingSet = std::max(peakWorkingSet, counters.PeakWorkingSetSize);
            peakPrivate = std::max({peakPrivate, counters.PeakPagefileUsage, counters.PrivateUsage});
            ++peaks.readings;
        }
        if (ended) break;
    }
    DWORD exitCode = ~0u;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hProcess);
    if (exitCode != 0) Fail("the launcher returned " + std::to_string(exitCode));
    if (peaks.readings == 0) Fail("no memory counters could be read while the launcher ran");
    peaks.workingSetMiB = double(peakWorkingSet) / (1 << 20);
    peaks.privateMiB = double(peakPrivate) / (1 << 20);
    return peaks;
}

int Main(int argc, wchar_t** argv) {
    if (argc != 4) Fail("usage: memory_bench BIG_LAUNCHER SMALL_LAUNCHER ROUNDS");
    test::ResetForTest();
    const std::wstring big = ArgumentPath(argv[1]);
    const std::wstring small = ArgumentPath(argv[2]);
    const int rounds = std::max(1, _wtoi(argv[3]));
    const double bigMiB = double(FileSize(big)) / (1 << 20);
    const double smallMiB = double(FileSize(small)) / (1 << 20);

    std::vector<Peaks> bigRuns, smallRuns;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            bigRuns.push_back(RunAndWatch(big));
            smallRuns.push_back(RunAndWatch(small));
        } else {
            smallRuns.push_back(RunAndWatch(small));
            bigRuns.push_back(RunAndWatch(big));
        }
    }

    auto report = [&](const char* what, double Peaks::*field) {
        std::vector<double> bigValues, smallValues, differences;
        for (int round = 0; round < rounds; ++round) {
            bigValues.push_back(bigRuns[round].*field);
            smallValues.push_back(smallRuns[round].*field);
            differences.push_back(bigRuns[round].*field - smallRuns[round].*field);
        }
        const Stats bigStats = Summarize(bigValues);
        const Stats smallStats = Summarize(smallValues);
        const Stats difference = Summarize(differences);
        Row row;
        row.measure = std::string("2 memory: ") + what + " of a launcher run, " + Fixed(bigMiB, 0) + " MiB payload";
        row.median = Fixed(bigStats.median, 2) + " MiB";
        row.min = Fixed(bigStats.min, 2);
        row.max = Fixed(bigStats.max, 2);
        row.baseline = Fixed(smallMiB, 0) + " MiB payload: " + Fixed(smallStats.median, 2) + " MiB (" +
                       Fixed(smallStats.min, 2) + " to " + Fixed(smallStats.max, 2) + ")";
        row.result = (difference.median >= 0 ? "+" : "") + Range(difference, 2, " MiB");
        row.target = "< 1 MiB more";
        row.met = std::abs(difference.median) < 1.0 ? "yes" : "no";
        PrintRow(row);
    };
    report("peak working set", &Peaks::workingSetMiB);
    report("peak private bytes", &Peaks::privateMiB);
    return 0;
}

}  // namespace
}  // namespace kesto::bench

int wmain(int argc, wchar_t** argv) { return kesto::bench::Main(argc, argv); }
