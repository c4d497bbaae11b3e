// kesto-pack try on Linux: the package runs under Wine, hidden, in a prefix
// of try's own with the expand.exe that Wine lacks, on a virtual display
// when there is none; then its exit code, its log and its work folder are
// shown. One try at a time per prefix (a lock beside it): each run ends the
// prefix's processes, the desktop with them, before its display goes.
#include "commands/try_package.h"

#include <cstdio>

#include "exit_code_names.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "cabinet/cabinet_reader.h"
#include "host.h"
#include "names.h"
#include "package/launcher_file.h"
#include "package/read_package.h"
#include "payload/little_endian.h"

extern char** environ;
#endif

namespace kesto::pack {

bool ParseExitCode(const std::string& text, uint32_t& code) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (value > 0xFFFFFFFFull) return false;
    code = uint32_t(value);
    return true;
}

std::string LauncherCodeName(uint32_t code) {
    for (const LauncherExitCode& each : kLauncherExitCodes)
        if (each.code == code) return std::string(each.name) + ": " + each.meaning;
    return std::string();
}

#ifdef _WIN32
int TryPackage(const TryOptions&, const TryFiles&) {
    std::fprintf(stderr, "kesto-pack: try is not available on Windows: run the package itself, or try it on Linux under Wine\n");
    return 1;
}
#else
namespace fs = std::filesystem;

namespace {

// What the launcher returns for a stub without a payload: a 32-bit Wine that
// works gives it for the bare release stub.
constexpr uint32_t kBareStubCode = 0x08760005;
constexpr uint32_t kFirstLauncherCode = 0x08760000, kLastLauncherCode = 0x08760008;

void Say(const std::string& line) { std::printf("try: %s\n", line.c_str()); }
int Fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "kesto-pack: try: %s\n", message.c_str());
    return 1;
}

// What a helper program wrote, for a failure's message (the scratch folder
// that holds it goes at the end).
std::string OutputOf(const std::string& file) {
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.empty() ? "no output" : "its output:\n" + text;
}

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const fs::path candidate = fs::path(folders.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return std::string();
}

// The environment of every Wine command: this process's, with these set.
class Environment {
public:
    void Set(const std::string& name, const std::string& value) { values_[name] = value; }
    std::vector<std::string> Entries() const {
        std::vector<std::string> entries;
        for (char** each = environ; *each != nullptr; ++each) {
            const std::string entry = *each;
            if (values_.count(entry.substr(0, entry.find('='))) == 0) entries.push_back(entry);
        }
        for (const auto& [name, value] : values_) entries.push_back(name + "=" + value);
        return entries;
    }

private:
    std::map<std::string, std::string> values_;
};

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& each : strings) pointers.push_back(&each[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Starts a program with stdin from /dev/null; its stdout into a pipe when
// output is given, else with stderr into outputFile when that is named.
pid_t Start(std::vector<std::string> arguments, const Environment& environment, int* output,
            const std::string& outputFile, int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && pipe(pipeFds) == 0) {
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    }
    if (!outputFile.empty()) {
        if (output == nullptr)
            posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    std::vector<std::string> entries = environment.Entries();
    std::vector<char*> argv = Pointers(arguments), envp = Pointers(entries);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    if (output != nullptr) *output = pipeFds[0];
    return pid;
}

// Runs a program to its end: its exit status, or -1.
int Run(const std::vector<std::string>& arguments, const Environment& environment, std::string* output = nullptr,
        const std::string& outputFile = std::string()) {
    int fd = -1;
    const pid_t pid = Start(arguments, environment, output != nullptr ? &fd : nullptr, outputFile);
    if (output != nullptr && fd >= 0) {
        char buffer[4096];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) output->append(buffer, size_t(got));
        close(fd);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A virtual X display (Xvfb) for as long as the object lives.
class VirtualDisplay {
public:
    // An empty string, or why it could not start.
    std::string Start(const Environment& environment, const std::string& logFile) {
        int fds[2];
        if (pipe(fds) != 0) return "no pipe";
        pid_ = kesto::pack::Start({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                                  environment, nullptr, logFile, fds[1]);
        close(fds[1]);
        std::string number;
        pollfd wait = {fds[0], POLLIN, 0};
        char c = 0;
        while (pid_ > 0 && poll(&wait, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) return "Xvfb did not start; " + OutputOf(logFile);
        display_ = ":" + number;
        return std::string();
    }
    ~VirtualDisplay() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// An exclusive lock on a file, held until the object goes.
class PrefixLock {
public:
    explicit PrefixLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {}
    ~PrefixLock() {
        if (fd_ >= 0) close(fd_);
    }
    bool Take(const std::string& prefix) {
        if (fd_ < 0) return false;
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        std::fprintf(stderr, "kesto-pack: try: waiting for another try in %s\n", prefix.c_str());
        return flock(fd_, LOCK_EX) == 0;
    }

private:
    int fd_;
};

// A new folder of try's own under the temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kesto-try-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
        if (!path_.empty()) RemoveIfInterrupted(path_.string());
    }
    ~ScratchFolder() {
        if (path_.empty()) return;
        std::error_code error;
        fs::remove_all(path_, error);
        KeepIfInterrupted(path_.string());
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string WindowsPath(const fs::path& unixPath) {
    std::string path = "Z:" + fs::absolute(unixPath).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// A Windows path on the prefix's C: or on Z: (the Unix root) as a Unix path;
// empty for any other.
fs::path UnixPath(std::string path, const fs::path& prefix) {
    if (path.compare(0, 4, "\\\\?\\") == 0) path.erase(0, 4);
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return fs::path();
    const char drive = char(path[0] | 0x20);
    if (drive != 'c' && drive != 'z') return fs::path();
    std::string rest = path.substr(3);
    for (char& c : rest)
        if (c == '\\') c = '/';
    return (drive == 'c' ? prefix / "drive_c" : fs::path("/")) / rest;
}

// UTF-16LE (the log's encoding, after its byte-order mark) as UTF-8.
std::string FromUtf16(const std::string& bytes) {
    std::string text;
    size_t i = bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE ? 2 : 0;
    auto unit = [&](size_t at) { return uint32_t(ReadLe16(reinterpret_cast<const unsigned char*>(bytes.data()) + at)); };
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        }
        if (c == '\r') continue;
        if (c < 0x80) {
            text += char(c);
        } else if (c < 0x800) {
            text += char(0xC0 | c >> 6), text += char(0x80 | (c & 63));
        } else if (c < 0x10000) {
            text += char(0xE0 | c >> 12), text += char(0x80 | (c >> 6 & 63)), text += char(0x80 | (c & 63));
        } else {
            text += char(0xF0 | c >> 18), text += char(0x80 | (c >> 12 & 63)), text += char(0x80 | (c >> 6 & 63)),
                text += char(0x80 | (c & 63));
        }
    }
    return text;
}

// The words of a command-line tail as Windows splits them (CommandLineToArgvW):
// quotes group words and are dropped; backslashes are literal except before
// a quote, where each pair gives one and an odd one makes the quote literal.
std::vector<std::string> Words(const std::string& tail) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (size_t i = 0; i < tail.size(); ++i) {
        const char c = tail[i];
        if (c == '\\') {
            const size_t end = std::min(tail.find_first_not_of('\\', i), tail.size());
            const size_t count = end - i;
            const bool beforeQuote = end < tail.size() && tail[end] == '"';
            word.append(beforeQuote ? count / 2 : count, '\\');
            if (beforeQuote && count % 2 == 1) {
                word += '"';  // a literal quote
                i = end;
            } else {
                i = end - 1;  // a quote after an even number is read next
            }
            any = true;
        } else if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

// The value of the launcher's log option in a tail (/LOG: or -LOG:, in any
// case, the first one as the launcher takes it); found tells whether there is one.
std::string LogOption(const std::string& tail, bool& found) {
    for (const std::string& word : Words(tail)) {
        if (word.size() < 5 || (word[0] != '/' && word[0] != '-')) continue;
        std::string name = word.substr(1, 4);
        for (char& c : name) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (name == "log:") {
            found = true;
            return word.substr(5);
        }
    }
    found = false;
    return std::string();
}

// The machine a PE image is built for (0x14C x86, 0x8664 x64), or 0.
unsigned Machine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[64] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
    const uint32_t at = ReadLe32(header + 60);
    unsigned char pe[6] = {};
    if (!in.seekg(at) || !in.read(reinterpret_cast<char*>(pe), sizeof pe)) return 0;
    return pe[0] == 'P' && pe[1] == 'E' ? unsigned(ReadLe16(pe + 4)) : 0;
}

// The package's payload behind another stub, written to out.
std::string Relaid(const std::string& package, const std::string& stub, const fs::path& out) {
    FileSource file(package);
    if (!file.Open()) return "cannot read " + package;
    PackageLayout layout;
    CabinetTable table;
    std::string problem = ReadPackage(file, layout, table);
    if (!problem.empty()) return package + ": " + problem;
    const fs::path cabinetPath = out.parent_path() / "payload.cab";
    {
        PayloadSource cabinet(file, layout.payloadOffset);
        std::ofstream copy(cabinetPath, std::ios::binary);
        std::vector<unsigned char> block(1 << 20);
        for (uint64_t done = 0; done < table.cabinetBytes && copy;) {
            const size_t size = size_t(std::min<uint64_t>(block.size(), table.cabinetBytes - done));
            if (!cabinet.Read(done, block.data(), size)) return package + ": cannot read the payload";
            copy.write(reinterpret_cast<const char*>(block.data()), std::streamsize(size));
            done += size;
        }
        if (!copy) return "cannot write " + cabinetPath.string();
    }
    StubImage image;
    std::string reason;
    if (!ReadStub(stub, image, reason)) return "cannot read the stub " + stub + ": " + reason;
    WrittenPackage written;
    return WriteLauncherFile(
        image, out.string(), true, [&](const Payload& payload) { return CopyCabinetIn(cabinetPath.string(), payload); },
        nullptr, written);
}

std::string Hex(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

std::string CodeText(uint32_t code) {
    const std::string name = LauncherCodeName(code);
    return std::to_string(code) + " (" + Hex(code) + (name.empty() ? "" : ", " + name) + ")";
}

std::string DefaultPrefix() {
    if (const char* chosen = std::getenv("KESTO_WINEPREFIX"); chosen != nullptr && *chosen != '\0') return chosen;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && *cache == '/') return std::string(cache) + "/kesto/wine";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.cache/kesto/wine";
}

}  // namespace

int TryPackage(const TryOptions& options, const TryFiles& files) {
    for (const std::string* helper : {&files.expand, &files.runner, &files.stubX64})
        if (!fs::is_regular_file(*helper)) return Fail("kesto's files are incomplete: no " + *helper + "; reinstall kesto");
    const fs::path package = fs::absolute(options.package);
    if (!std::ifstream(package, std::ios::binary)) return Fail("cannot read " + options.package);
    const unsigned machine = Machine(package.string());
    if (machine != 0x14C && machine != 0x8664) return Fail(options.package + " is not a Windows program");
    if (FindOnPath("wine").empty() || FindOnPath("wineserver").empty())
        return Fail("Wine is not installed: install it (Debian: sudo apt install wine wine64)");
    const char* display = std::getenv("DISPLAY");
    const bool needDisplay = display == nullptr || *display == '\0';
    if (needDisplay && FindOnPath("Xvfb").empty())
        return Fail("no X display (DISPLAY is unset) and no Xvfb to make one: install it (Debian: sudo apt install xvfb)");

    const fs::path prefix = fs::absolute(options.prefix.empty() ? DefaultPrefix() : options.prefix).lexically_normal();
    std::error_code error;
    fs::create_directories(prefix, error);
    if (error) return Fail("cannot make the Wine prefix " + prefix.string() + ": " + error.message());
    PrefixLock lock(prefix.string() + ".lock");
    if (!lock.Take(prefix.string())) return Fail("cannot lock " + prefix.string() + ".lock");
    ScratchFolder scratch;
    if (scratch.path().empty()) return Fail("cannot make a scratch folder under the temporary folder");
    const std::string wineLog = (scratch.path() / "wine.log").string();

    Environment environment;
    environment.Set("WINEPREFIX", prefix.string());
    environment.Set("WINEARCH", "win64");
    environment.Set("WINEDEBUG", "-all");
    // No Mono or Gecko prompts; expand.exe is kesto's, not Wine's builtin.
    environment.Set("WINEDLLOVERRIDES", "mscoree,mshtml=;expand.exe=n");
    const fs::path ready = prefix / "kesto-try.ready";
    if (!fs::exists(ready)) {
        std::fprintf(stderr, "kesto-pack: try: preparing the Wine prefix %s (once, about a minute)\n", prefix.c_str());
        if (Run({"wine", "wineboot", "-i"}, environment, nullptr, wineLog) != 0 ||
            Run({"wineserver", "-w"}, environment) != 0)
            return Fail("wineboot could not prepare " + prefix.string() + "; " + OutputOf(wineLog));
        std::ofstream(ready) << "prepared by kesto-pack try\n";
    }
    fs::copy_file(files.expand, prefix / "drive_c" / "windows" / "system32" / "expand.exe",
                  fs::copy_options::overwrite_existing, error);
    if (error) return Fail("cannot install expand.exe into " + prefix.string() + ": " + error.message());

    VirtualDisplay virtualDisplay;
    if (needDisplay) {
        const std::string problem = virtualDisplay.Start(environment, (scratch.path() / "xvfb.log").string());
        if (!problem.empty()) return Fail(problem);
        environment.Set("DISPLAY", virtualDisplay.display());
    }
    // Runs a command line hidden: its exit code, or false (the reason on
    // stderr). The runner prints the code last; under Wine what a console
    // program it starts writes comes before it, and is passed on.
    auto runHidden = [&](const std::string& commandLine, uint32_t& code) {
        std::string printed;
        const int status = Run({"wine", files.runner, commandLine}, environment, &printed);
        while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r')) printed.pop_back();
        const size_t last = printed.find_last_of('\n');
        const std::string before = last == std::string::npos ? std::string() : printed.substr(0, last + 1);
        std::fwrite(before.data(), 1, before.size(), stdout);
        return status == 0 && ParseExitCode(printed.substr(last == std::string::npos ? 0 : last + 1), code);
    };
    struct EndPrefix {  // the prefix's processes end before the display goes
        const Environment& environment;
        bool own;
        ~EndPrefix() {
            if (own) Run({"wineserver", "-k"}, environment);
        }
    } endPrefix{environment, needDisplay};

    fs::path run = package;
    if (machine == 0x14C) {
        const fs::path known = prefix / "kesto-try.x86";
        std::string canRun;
        std::ifstream(known) >> canRun;
        if (canRun.empty()) {
            uint32_t code = 0;
            const bool works = fs::exists(prefix / "drive_c" / "windows" / "syswow64" / "ntdll.dll") &&
                               fs::is_regular_file(files.stubX86) && runHidden("\"" + WindowsPath(files.stubX86) + "\"", code) &&
                               code == kBareStubCode;
            canRun = works ? "yes" : "no";
            std::ofstream(known) << canRun << "\n";
        }
        if (canRun != "yes") {
            run = scratch.path() / "x64" / package.filename();
            fs::create_directories(run.parent_path(), error);
            const std::string problem = Relaid(package.string(), files.stubX64, run);
            if (!problem.empty()) return Fail(problem);
            std::fprintf(stderr,
                         "kesto-pack: try: this Wine cannot run 32-bit programs such as the release stub: running the "
                         "same payload behind the x64 stub (%s)\n",
                         files.stubX64.c_str());
        }
    }

    std::string tail;
    for (const std::string& argument : options.arguments) tail += (tail.empty() ? "" : " ") + argument;
    bool logGiven = false;
    std::string logName = LogOption(tail, logGiven);
    if (!logGiven) {  // first, where no quote the tail leaves open can take it in
        logName = WindowsPath(scratch.path() / "run");
        tail = "/LOG:" + logName + (tail.empty() ? "" : " ") + tail;
    }
    const fs::path logFile = UnixPath(logName + "-sfxlog.log", prefix);
    const uintmax_t logBefore = logFile.empty() ? 0 : fs::file_size(logFile, error);
    const uintmax_t logStart = error ? 0 : logBefore;

    const std::string commandLine = "\"" + WindowsPath(run) + "\" " + tail;
    Say("running " + commandLine);
    Say("hidden, as a deployment tool starts it, in the Wine prefix " + prefix.string() +
        (logGiven ? "" : " (the log option is try's own)"));
    std::fflush(stdout);
    uint32_t code = 0;
    if (!runHidden(commandLine, code)) return Fail("the package could not be started under Wine");

    std::string log;
    if (!logFile.empty()) {
        std::ifstream in(logFile, std::ios::binary);
        in.seekg(std::streamoff(logStart));
        log = FromUtf16(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    }
    if (log.empty()) {
        std::string why = " (not on C: or Z:, so not shown)";
        if (!logFile.empty())
            why = fs::is_directory(logFile.parent_path()) ? std::string()
                                                          : " (its folder does not exist: the launcher writes no log there)";
        Say("no log at " + logName + "-sfxlog.log" + why);
    } else {
        Say("the launcher's log, " + logName + "-sfxlog.log:");
        std::printf("%s%s", log.c_str(), log.back() == '\n' ? "" : "\n");
    }
    const std::string marker = "TempFolder: ";
    const size_t at = log.rfind(marker);
    if (at != std::string::npos) {
        std::string folder = log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
        if (!folder.empty() && folder.back() == '.') folder.pop_back();
        const fs::path there = UnixPath(folder, prefix);
        size_t count = 0;
        for (fs::recursive_directory_iterator it(there, error), end; !error && it != end; it.increment(error))
            count += it->is_regular_file() ? 1 : 0;
        Say("the work folder " + folder + " (" + there.string() + "): " +
            (fs::exists(there) ? "still there, holding " + std::to_string(count) + " files" : "removed"));
    } else {  // no log to name it: what work folders are left in the users' temporary folders
        std::vector<std::string> left;
        std::error_code missing;
        for (fs::directory_iterator user(prefix / "drive_c" / "users", error), end; !error && user != end; user.increment(error))
            for (fs::directory_iterator it(user->path() / "Temp", missing); !missing && it != end; it.increment(missing))
                if (it->path().filename().string().compare(0, 5, "QzEXF") == 0) left.push_back(it->path().string());
        error.clear();
        Say("no log names the work folder; work folders left in the prefix's temporary folders: " +
            (left.empty() ? std::string("none") : Join(left)));
    }

    const bool launcherCode = code >= kFirstLauncherCode && code <= kLastLauncherCode;
    const bool matches = options.haveExpected ? code == options.expected : !launcherCode;
    Say("exit code " + CodeText(code) + ": " + (matches ? "as expected" : "NOT as expected") + " (" +
        (options.haveExpected ? "--expect " + std::to_string(options.expected)
                              : std::string("any code but the launcher's own, 141950976 to 141950984")) +
        ")");
    return matches ? 0 : 1;
}
#endif

}  // namespace kesto::pack
