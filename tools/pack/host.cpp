#include "host.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <glib.h>
#include <malloc.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <atomic>
#include <filesystem>

namespace kesto::pack {

#ifdef _WIN32

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    g_interrupted = true;
    // After a closed console, a logoff or a shutdown Windows ends the program
    // as soon as this returns: wait here while the main thread cleans up
    // and ends the program (Windows allows a few seconds).
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
    return TRUE;
}

}  // namespace

std::string ProgramPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], DWORD(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer).u8string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

void PrepareConsole() {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// One provider for every hash, opened when first needed.
struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {
BCRYPT_ALG_HANDLE Sha256Provider() {
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ? opened : nullptr;
    }();
    return provider;
}
}  // namespace

// A hash that CNG cannot make has no digest: Hex() is empty.
Sha256::Sha256() : state_(new State) {
    if (Sha256Provider() != nullptr) ::BCryptCreateHash(Sha256Provider(), &state_->hash, nullptr, 0, nullptr, 0, 0);
}
Sha256::~Sha256() {
    if (state_->hash != nullptr) ::BCryptDestroyHash(state_->hash);
}
void Sha256::Update(const unsigned char* bytes, size_t size) {
    if (state_->hash != nullptr) ::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), ULONG(size), 0);
}
std::string Sha256::Hex() {
    unsigned char digest[32];
    if (state_->hash == nullptr || !BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, sizeof(digest), 0)))
        return std::string();
    std::string hex;
    for (unsigned char byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// The main thread removes its temporary files itself once it sees the flag.
void RemoveIfInterrupted(const std::string&) {}
void KeepIfInterrupted(const std::string&) {}
bool Interrupted() { return g_interrupted; }
int InterruptedExitCode() { return int(0xC000013A); }  // STATUS_CONTROL_C_EXIT, as for any program ended by Ctrl-C

#else

namespace {

// The paths, in fixed storage that the signal handler reads: it may not
// allocate or lock.
constexpr int kSlots = 8;
constexpr size_t kPathBytes = 4096;
char g_paths[kSlots][kPathBytes];
volatile sig_atomic_t g_used[kSlots];

// Removes a file, or a folder with everything below it, with system calls
// only (async-signal-safe). Links are removed, never followed.
bool RemoveTree(int parent, const char* name) {
    if (::unlinkat(parent, name, 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return false;
    char buffer[2048];
    for (bool removed = true; removed;) {
        removed = false;
        ::lseek(folder, 0, SEEK_SET);
        for (long count; (count = ::syscall(SYS_getdents64, folder, buffer, sizeof(buffer))) > 0;) {
            for (long at = 0; at < count;) {
                // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
                unsigned short length;
                std::memcpy(&length, buffer + at + 16, sizeof(length));
                const char* entry = buffer + at + 19;
                if (std::strcmp(entry, ".") != 0 && std::strcmp(entry, "..") != 0 && RemoveTree(folder, entry))
                    removed = true;
                at += length;
            }
        }
    }
    ::close(folder);
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

void OnSignal(int signal) {
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i]) RemoveTree(AT_FDCWD, g_paths[i]);
    ::_exit(128 + signal);
}

}  // namespace

std::string ProgramPath() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

void PrepareConsole() {
    // libgcab starts a new deflate stream for every 32 KiB block. Without this
    // glibc gives each freed stream back to the system, and the next one
    // faults all its pages in again: three times the page faults of the gcab
    // program, a second of system time on 256 MiB.
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigfillset(&action.sa_mask);  // one handler at a time
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool StderrIsTerminal() { return ::isatty(2) == 1; }

struct Sha256::State {
    GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
};
Sha256::Sha256() : state_(new State) {}
Sha256::~Sha256() { g_checksum_free(state_->checksum); }
void Sha256::Update(const unsigned char* bytes, size_t size) { g_checksum_update(state_->checksum, bytes, gssize(size)); }
std::string Sha256::Hex() { return g_checksum_get_string(state_->checksum); }

void RemoveIfInterrupted(const std::string& path) {
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(path, error).string();
    if (error || absolute.size() >= kPathBytes) return;
    for (int i = 0; i < kSlots; ++i) {
        if (g_used[i]) continue;
        std::memcpy(g_paths[i], absolute.c_str(), absolute.size() + 1);
        g_used[i] = 1;  // only once the path stands whole
        return;
    }
}

void KeepIfInterrupted(const std::string& path) {
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(path, error).string();
    for (int i = 0; i < kSlots; ++i)
        if (g_used[i] && absolute == g_paths[i]) g_used[i] = 0;
}

bool Interrupted() { return false; }
int InterruptedExitCode() { return 130; }

#endif

}  // namespace kesto::pack
