// log_cost_bench SCRATCH LINES ROUNDS
//
// The cost of one log line: the log message as the launcher writes it (its
// security attributes built and its named semaphore created, taken, given
// back and closed afresh for every line, then three writes) against one plain
// WriteFile of the same line to another file. The two take turns.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log.h"
#include "platform/handles.h"

namespace kesto::bench {
namespace {

int Main(int argc, wchar_t** argv) {
    if (argc != 4) Fail("usage: log_cost_bench SCRATCH LINES ROUNDS");
    test::ResetForTest();
    const std::wstring scratch = ArgumentPath(argv[1]);
    const int lines = std::max(1, _wtoi(argv[2]));
    const int rounds = std::max(1, _wtoi(argv[3]));
    if (!FreshFolder(scratch)) Fail("cannot make the scratch folder");

    // The lock's semaphore is named after the launcher's own file.
    test::PretendStartedAs(scratch + L"\\setup.exe", L"");
    LogOpen(scratch + L"\\bench-sfxlog.log");
    if (g_run.log == INVALID_HANDLE_VALUE) Fail("cannot open the log");
    UniqueFile plain(::CreateFileW((scratch + L"\\plain.log").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!plain.valid()) Fail("cannot open the plain file");
    // A line as the log holds it: time prefix, text, CR LF.
    const std::wstring line = L"2026/03/05 14:07:09 - ExecBatOrExe return 0.\r\n";

    std::vector<double> logged, written, ratios;
    for (int round = 0; round < rounds; ++round) {
        double logSeconds = 0, plainSeconds = 0;
        for (int turn = 0; turn < 2; ++turn) {
            double start = Now();
            if ((round + turn) % 2 == 0) {
                for (int i = 0; i < lines; ++i) LogMessage(L"ExecBatOrExe return %d.", 0);
                logSeconds = Now() - start;
            } else {
                for (int i = 0; i < lines; ++i) {
                    DWORD count = 0;
                    ::WriteFile(plain.get(), line.data(), DWORD(line.size() * sizeof(wchar_t)), &count, nullptr);
                }
                plainSeconds = Now() - start;
            }
        }
        logged.push_back(logSeconds / lines * 1e6);
        written.push_back(plainSeconds / lines * 1e6);
        ratios.push_back(logSeconds / plainSeconds);
    }
    LogClose();
    plain.reset();
    Remove(scratch);

    const Stats log = Summarize(logged);
    const Stats write = Summarize(written);
    Row row;
    row.measure = "4 log cost: one log line (lock, security attributes, three writes)";
    row.median = Fixed(log.median, 1) + " us";
    row.min = Fixed(log.min, 1);
    row.max = Fixed(log.max, 1);
    row.baseline = "one WriteFile of the line: " + Fixed(write.median, 1) + " us (" + Fixed(write.min, 1) + " to " +
                   Fixed(write.max, 1) + ")";
    row.result = Range(Summarize(ratios), 1, "x");
    row.target = "report";
    row.met = "-";
    PrintRow(row);
    return 0;
}

}  // namespace
}  // namespace kesto::bench

int wmain(int argc, wchar_t** argv) { return kesto::bench::Main(argc, argv); }
