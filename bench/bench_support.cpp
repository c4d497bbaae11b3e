#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace kesto::bench {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER value;
        ::QueryPerformanceFrequency(&value);
        return double(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / frequency;
}

long long FileTimeOf(const FILETIME& time) {
    return (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

long long FileTimeNow() {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    return FileTimeOf(now);
}

Stats Summarize(std::vector<double> values) {
    Stats stats;
    if (values.empty()) return stats;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    stats.median = values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    stats.min = values.front();
    stats.max = values.back();
    return stats;
}

void PrintRow(const Row& row) {
    // Tab-separated, one row a line, behind a tag that run.sh picks out.
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.measure.c_str(), row.median.c_str(), row.min.c_str(),
                row.max.c_str(), row.baseline.c_str(), row.result.c_str(), row.target.c_str(), row.met.c_str());
    std::fflush(stdout);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string Range(const Stats& stats, int decimals, const char* unit) {
    return Fixed(stats.median, decimals) + unit + " (" + Fixed(stats.min, decimals) + " to " +
           Fixed(stats.max, decimals) + ")";
}

std::wstring ArgumentPath(const wchar_t* argument) { return test::WindowsPath(test::Narrow(argument)); }

bool FreshFolder(const std::wstring& path) {
    Remove(path);
    return test::MakeFolders(path);
}

void Remove(const std::wstring& path) { test::RemoveTreeWhenReleased(path); }

DWORD RunHidden(const std::wstring& commandLine, const std::wstring& currentDirectory, DWORD creationFlags) {
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                          currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &process))
        return ~0u;
    ::CloseHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = ~0u;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hProcess);
    return exitCode;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace kesto::bench
