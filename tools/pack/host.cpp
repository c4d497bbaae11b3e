#include "host.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>

#include "platform/handles.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

namespace kesto::pack {

std::string ErrnoText() { return std::strerror(errno); }

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
Sha256::Sha256() : state_(std::make_unique<State>()) {
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


// Folders by handle, each held without FILE_SHARE_DELETE: while it is held
// nothing can rename it, remove it or put a junction in its place, so a
// path through held folders names what they are.
namespace {
constexpr char kSeparator = '\\';
constexpr DWORD kHeldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::string LastErrorText() {
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text != nullptr ? text : L"";
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L'.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : std::filesystem::path(message).u8string();
}

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

}  // namespace

struct Folder::State {
    UniqueFile handle;
    std::wstring path;  // the final path of the folder held
};
struct OutputFile::State {
    UniqueFile handle;
};

std::string Folder::Open(const std::string& path) {
    Close();
    path_ = path;
    UniqueFile folder(::CreateFileW(Wide(path).c_str(), GENERIC_READ, kHeldShare, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.valid()) return path + ": " + LastErrorText();
    // Below it, names go through the folder's final path, not through the
    // links or junctions that the path given may hold.
    std::wstring final(32768, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(folder.get(), &final[0], DWORD(final.size()), 0);
    if (length == 0 || length >= final.size()) return path + ": " + LastErrorText();
    final.resize(length);
    state_->path = final;
    state_->handle = std::move(folder);
    return std::string();
}

Folder::Kind Folder::KindOf(const std::string& name) const {
    const DWORD attributes = ::GetFileAttributesW((state_->path + L"\\" + Wide(name)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND ? Kind::kNone : Kind::kOther;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Kind::kOther;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kOther;
}

std::string Folder::OpenChild(const std::string& name, Folder& child) const {
    child.Close();
    child.path_ = Named(name);
    const std::wstring path = state_->path + L"\\" + Wide(name);
    UniqueFile folder(::CreateFileW(path.c_str(), GENERIC_READ, kHeldShare, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.valid()) return child.path_ + ": " + LastErrorText();
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(folder.get(), &information)) return child.path_ + ": " + LastErrorText();
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return child.path_ + ": a link or junction; extract follows none";
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return child.path_ + ": not a folder";
    child.state_->path = path;
    child.state_->handle = std::move(folder);
    return std::string();
}

std::string Folder::MakeChild(const std::string& name, Folder& child) const {
    if (!::CreateDirectoryW((state_->path + L"\\" + Wide(name)).c_str(), nullptr))
        return "cannot make the folder " + Named(name) + ": " + LastErrorText();
    return OpenChild(name, child);
}

std::string Folder::MakeFile(const std::string& name, OutputFile& file) const {
    file.path_ = Named(name);
    file.state_->handle.reset(::CreateFileW((state_->path + L"\\" + Wide(name)).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.state_->handle.valid() ? std::string() : "cannot write " + file.path_ + ": " + LastErrorText();
}

std::string Folder::List(std::vector<std::string>& names) const {
    names.clear();
    WIN32_FIND_DATAW found;
    const UniqueFind search(::FindFirstFileW((state_->path + L"\\*").c_str(), &found));
    if (!search.valid()) return "cannot list " + path_ + ": " + LastErrorText();
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(std::filesystem::path(name).u8string());
    } while (::FindNextFileW(search.get(), &found));
    return std::string();
}

std::string Folder::MoveTo(const std::string& name, const Folder& to) const {
    // Without MOVEFILE_REPLACE_EXISTING nothing there is replaced.
    if (::MoveFileExW((state_->path + L"\\" + Wide(name)).c_str(), (to.state_->path + L"\\" + Wide(name)).c_str(), 0))
        return std::string();
    return "cannot move " + Named(name) + " to " + to.Named(name) + ": " + LastErrorText();
}

std::string Folder::Remove(const std::string& name) const {
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(state_->path + L"\\" + Wide(name)), error);
    return error ? "cannot remove " + Named(name) + ": " + error.message() : std::string();
}

std::string Folder::RemoveEmpty(const std::string& name) const {
    return ::RemoveDirectoryW((state_->path + L"\\" + Wide(name)).c_str()) ? std::string()
                                                                            : "cannot remove " + Named(name) + ": " + LastErrorText();
}

std::string Folder::Space(uint64_t& available, uint64_t& block) const {
    wchar_t volume[MAX_PATH + 1];
    ULARGE_INTEGER free;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!::GetVolumePathNameW(state_->path.c_str(), volume, MAX_PATH + 1) ||
        !::GetDiskFreeSpaceExW(state_->path.c_str(), &free, nullptr, nullptr) ||
        !::GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return "cannot tell the free space of " + path_ + ": " + LastErrorText();
    available = free.QuadPart;
    block = uint64_t(sectorsPerCluster) * bytesPerSector;
    return std::string();
}

std::string OutputFile::Write(const unsigned char* bytes, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(size, 1u << 30));
        if (!::WriteFile(state_->handle.get(), bytes, chunk, &written, nullptr) || written == 0)
            return "cannot write " + path_ + ": " + LastErrorText();
        bytes += written;
        size -= written;
    }
    return std::string();
}

std::string OutputFile::Finish(int64_t time) {
    // 100-nanosecond intervals since 1601.
    const uint64_t ticks = uint64_t(time + 11644473600LL) * 10000000ULL;
    FILETIME stamp = {DWORD(ticks), DWORD(ticks >> 32)};
    ::SetFileTime(state_->handle.get(), nullptr, nullptr, &stamp);  // a time that cannot be set leaves the file as written
    return ::CloseHandle(state_->handle.release()) ? std::string() : "cannot write " + path_ + ": " + LastErrorText();
}

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
Sha256::Sha256() : state_(std::make_unique<State>()) {}
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


// Folders and files by descriptor. A descriptor names the folder itself,
// wherever it is moved, so nothing below it can be reached through a link.
struct Folder::State {
    int fd = -1;
    ~State() {
        if (fd >= 0) ::close(fd);
    }
};
struct OutputFile::State {
    int fd = -1;
    ~State() {
        if (fd >= 0) ::close(fd);
    }
};
namespace {
constexpr char kSeparator = '/';
// A link where a folder is expected says so; other reasons as the system gives them.
std::string OpenFailure() { return errno == ELOOP ? "a link; extract follows no link" : ErrnoText(); }
}  // namespace

std::string Folder::Open(const std::string& path) {
    Close();
    path_ = path;
    state_->fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return state_->fd >= 0 ? std::string() : path + ": " + ErrnoText();
}

Folder::Kind Folder::KindOf(const std::string& name) const {
    struct stat status;
    if (::fstatat(state_->fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Kind::kNone : Kind::kOther;
    return S_ISDIR(status.st_mode) ? Kind::kFolder : Kind::kOther;
}

std::string Folder::OpenChild(const std::string& name, Folder& child) const {
    child.Close();
    child.path_ = Named(name);
    child.state_->fd = ::openat(state_->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return child.state_->fd >= 0 ? std::string() : child.path_ + ": " + OpenFailure();
}

std::string Folder::MakeChild(const std::string& name, Folder& child) const {
    if (::mkdirat(state_->fd, name.c_str(), 0777) != 0) return "cannot make the folder " + Named(name) + ": " + ErrnoText();
    return OpenChild(name, child);
}

std::string Folder::MakeFile(const std::string& name, OutputFile& file) const {
    file.path_ = Named(name);
    file.state_->fd = ::openat(state_->fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return file.state_->fd >= 0 ? std::string() : "cannot write " + file.path_ + ": " + OpenFailure();
}

std::string Folder::List(std::vector<std::string>& names) const {
    names.clear();
    const int fd = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (folder == nullptr) {
        if (fd >= 0) ::close(fd);
        return "cannot list " + path_ + ": " + ErrnoText();
    }
    while (const dirent* entry = ::readdir(folder))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    ::closedir(folder);
    return std::string();
}

std::string Folder::MoveTo(const std::string& name, const Folder& to) const {
    if (::renameat2(state_->fd, name.c_str(), to.state_->fd, name.c_str(), RENAME_NOREPLACE) == 0) return std::string();
    // File systems without RENAME_NOREPLACE: checked first, which only a
    // race can get past, and then only to replace a file in FOLDER.
    if (errno == EINVAL && to.KindOf(name) == Kind::kNone &&
        ::renameat(state_->fd, name.c_str(), to.state_->fd, name.c_str()) == 0)
        return std::string();
    return "cannot move " + Named(name) + " to " + to.Named(name) + ": " + ErrnoText();
}

std::string Folder::Remove(const std::string& name) const {
    return RemoveTree(state_->fd, name.c_str()) ? std::string() : "cannot remove " + Named(name) + ": " + ErrnoText();
}

std::string Folder::RemoveEmpty(const std::string& name) const {
    return ::unlinkat(state_->fd, name.c_str(), AT_REMOVEDIR) == 0 ? std::string()
                                                                   : "cannot remove " + Named(name) + ": " + ErrnoText();
}

std::string Folder::Space(uint64_t& available, uint64_t& block) const {
    struct statvfs space;
    if (::fstatvfs(state_->fd, &space) != 0) return "cannot tell the free space of " + path_ + ": " + ErrnoText();
    block = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
    available = uint64_t(space.f_bavail) * block;
    return std::string();
}

std::string OutputFile::Write(const unsigned char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(state_->fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return "cannot write " + path_ + ": " + (written == 0 ? std::string("nothing written") : ErrnoText());
        bytes += written;
        size -= size_t(written);
    }
    return std::string();
}

std::string OutputFile::Finish(int64_t time) {
    const struct timespec times[2] = {{time_t(time), 0}, {time_t(time), 0}};
    ::futimens(state_->fd, times);  // a time that cannot be set leaves the file as written
    const int fd = state_->fd;
    state_->fd = -1;
    return ::close(fd) == 0 ? std::string() : "cannot write " + path_ + ": " + ErrnoText();
}

#endif

// The same on both, over each one's State and kSeparator.
Folder::Folder() : state_(std::make_unique<State>()) {}
Folder::~Folder() = default;
Folder::Folder(Folder&&) noexcept = default;
Folder& Folder::operator=(Folder&&) noexcept = default;
OutputFile::OutputFile() : state_(std::make_unique<State>()) {}
OutputFile::~OutputFile() = default;
void Folder::Close() { state_ = std::make_unique<State>(); }
std::string Folder::Named(const std::string& name) const { return path_ + kSeparator + name; }

}  // namespace kesto::pack
