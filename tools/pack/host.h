#pragma once
// The little the packer needs from its host beyond files and cabinets: its
// own path, its console, what happens when it is interrupted, and SHA-256.
#include <cstddef>
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

// Whether the program was asked to stop (always false on Linux: the handler
// ends the program itself).
bool Interrupted();
int InterruptedExitCode();

}  // namespace kesto::pack
