#pragma once
// The little the packer needs from its host beyond files and cabinets: its
// own path, its console, what happens when it is interrupted, SHA-256, and
// folders held open for extract.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kesto::pack {

// The full path of the running program, UTF-8.
std::string ProgramPath();

// Makes the console show UTF-8 output where it needs telling (Windows), and
// installs the handling of interruptions.
void PrepareConsole();

// Temporary files and folders that an interruption removes, with everything
// below them, before the program ends: SIGINT and SIGTERM on Linux, where
// the signal handler removes them and ends the program with 128 + the
// signal's number; Ctrl-C, Ctrl-Break and a closed console on Windows,
// where the work in progress stops at its next block (Interrupted()),
// removes its own temporary files as on any failure, and the program ends
// with InterruptedExitCode(). A few paths at a time, each registered until
// it is renamed into place or removed.
void RemoveIfInterrupted(const std::string& path);
void KeepIfInterrupted(const std::string& path);

// Whether stderr is a terminal (Linux) or a console (Windows), where
// progress can be rewritten in place.
bool StderrIsTerminal();

// SHA-256, as sha256sum prints it: GLib's GChecksum on Linux, CNG
// (bcrypt.dll) on Windows.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const unsigned char* bytes, size_t size);
    // 64 lower-case hexadecimal digits (empty when the system cannot hash);
    // ends the hashing.
    std::string Hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The system's reason for the last failed call of the C library (errno),
// as strerror gives it.
std::string ErrnoText();

class OutputFile;

// A folder held open, and what extract does below it: every file and folder
// is made, opened, moved and removed by its name within a folder held open,
// never through a link, so that a folder swapped for a link while extract
// runs cannot lead it anywhere else. Linux: openat, mkdirat, renameat2
// (RENAME_NOREPLACE), unlinkat, with O_NOFOLLOW. Windows: each folder opened
// as itself (FILE_FLAG_OPEN_REPARSE_POINT), refused when it is a reparse
// point, and held without FILE_SHARE_DELETE, so that nothing can rename,
// remove or replace it while it is held; names are then made by their path
// through it, files with CREATE_NEW, moves without replacing. Each problem
// names the path and gives the system's reason.
class Folder {
public:
    enum class Kind { kNone, kFolder, kOther };
    Folder();
    ~Folder();
    Folder(Folder&&) noexcept;
    Folder& operator=(Folder&&) noexcept;

    // Opens the folder at path as the path names it (links in the path
    // itself are followed: the caller named them).
    std::string Open(const std::string& path);
    const std::string& path() const { return path_; }

    // What name is here, not following a link (a link is kOther).
    Kind KindOf(const std::string& name) const;
    // Opens the folder name here; a link or reparse point is refused.
    std::string OpenChild(const std::string& name, Folder& child) const;
    // Makes the folder name here (nothing may be there) and opens it.
    std::string MakeChild(const std::string& name, Folder& child) const;
    // Makes the file name here (nothing may be there) for writing.
    std::string MakeFile(const std::string& name, OutputFile& file) const;
    // The names here.
    std::string List(std::vector<std::string>& names) const;
    // Moves name here to the same name in to; never over anything there.
    std::string MoveTo(const std::string& name, const Folder& to) const;
    // Removes name here: a file, or a folder with everything in it; links
    // are removed, never followed.
    std::string Remove(const std::string& name) const;
    // Removes the folder name here when it is empty.
    std::string RemoveEmpty(const std::string& name) const;
    // What the file system there has free for this user, and its block:
    // what one file takes at least.
    std::string Space(uint64_t& available, uint64_t& block) const;
    // Closes the folder (Windows: a held folder cannot be moved or removed).
    void Close();

private:
    std::string Named(const std::string& name) const;
    struct State;
    std::unique_ptr<State> state_;
    std::string path_;
};

// A file made by Folder::MakeFile, written in order.
class OutputFile {
public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    std::string Write(const unsigned char* bytes, size_t size);
    // Sets its modification time (seconds since 1970, UTC) and closes it.
    std::string Finish(int64_t time);

private:
    friend class Folder;
    struct State;
    std::unique_ptr<State> state_;
    std::string path_;
};

// Whether the program was asked to stop (always false on Linux: the handler
// ends the program itself).
bool Interrupted();
int InterruptedExitCode();

}  // namespace kesto::pack
