// timed_run LAUNCHER: runs LAUNCHER once, started hidden, and prints the
// seconds from its start to its end. bench/run.sh calls it between the runs
// of other self-extractors, so that the turns alternate.
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench_support.h"

int wmain(int argc, wchar_t** argv) {
    using namespace kesto::bench;
    if (argc != 2) Fail("usage: timed_run LAUNCHER");
    double start = Now();
    DWORD exitCode = RunHidden(L"\"" + ArgumentPath(argv[1]) + L"\"");
    double seconds = Now() - start;
    if (exitCode != 0) Fail("the launcher returned " + std::to_string(exitCode));
    std::printf("%.3f\n", seconds);
    return 0;
}
