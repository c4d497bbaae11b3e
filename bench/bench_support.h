#pragma once
// What the benchmark programs share: a clock, medians, and the rows of the
// result table that bench/run.sh lays out.
//
// A benchmark measures something against a baseline in the same run, in
// several rounds whose order alternates, and reports medians with their
// minimum and maximum. It never fails on a time: "met" is a report.
#include <windows.h>

#include <string>
#include <vector>

namespace kesto::bench {

// Seconds since an arbitrary start, from the performance counter.
double Now();

// The wall clock in 100 ns units (FILETIME), comparable with the times
// GetProcessTimes reports for other processes.
long long FileTimeNow();
long long FileTimeOf(const FILETIME& time);

struct Stats {
    double median = 0;
    double min = 0;
    double max = 0;
};
Stats Summarize(std::vector<double> values);

// One row of the result table. run.sh lays the rows out; each field is text.
struct Row {
    std::string measure;   // what was measured, and on what
    std::string median;    // with its unit
    std::string min;
    std::string max;
    std::string baseline;  // what it was measured against, with its median
    std::string result;    // the ratio or difference, median (min to max)
    std::string target;
    std::string met;       // "yes", "no" or "-" (reported only)
};
void PrintRow(const Row& row);

// Formatting helpers for the fields above.
std::string Fixed(double value, int decimals);
std::string Range(const Stats& stats, int decimals, const char* unit);

// A Unix path ("/work/x") as Wine shows it ("Z:\work\x"); other paths as
// they are.
std::wstring ArgumentPath(const wchar_t* argument);

// A fresh empty folder at path: anything there before is removed.
bool FreshFolder(const std::wstring& path);

// Removes a file or folder tree; tries again for a while, since Wine keeps an
// ended child's current directory open for a moment.
void Remove(const std::wstring& path);

// Starts commandLine hidden (SW_HIDE, as deployment tools do) and waits for
// it; returns its exit code, or ~0u when it could not be started.
DWORD RunHidden(const std::wstring& commandLine, const std::wstring& currentDirectory = L"",
                DWORD creationFlags = 0);

// Size of a file in bytes; -1 when it cannot be read.
long long FileSize(const std::wstring& path);

// Ends the program with a message on stderr and exit code 1.
[[noreturn]] void Fail(const std::string& message);

}  // namespace kesto::bench
