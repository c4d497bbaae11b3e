#pragma once
// The little the packer needs from its host beyond files and cabinets: its
// own path, its console, and what happens when it is interrupted.
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

// Whether the program was asked to stop (always false on Linux: the handler
// ends the program itself).
bool Interrupted();
int InterruptedExitCode();

}  // namespace kesto::pack
