#pragma once
// kesto-pack try: runs a package under Wine the way a deployment tool runs it
// on Windows (Linux only).
#include <cstdint>
#include <string>
#include <vector>

namespace kesto::pack {

struct TryOptions {
    std::string package;
    std::vector<std::string> arguments;  // the tail, joined by single spaces as they stand
    bool haveExpected = false;           // from --expect; else any code but the launcher's own
    uint32_t expected = 0;
    std::string prefix;                  // from --prefix; else KESTO_WINEPREFIX, else the cache folder
};

// The installed files try needs, found beside the packer as its default stub
// is (where they were looked for when they are missing).
struct TryFiles {
    std::string stubX86, stubX64, expand, runner;
};

// Reads an exit code as --expect takes it: decimal, or hexadecimal after 0x.
bool ParseExitCode(const std::string& text, uint32_t& code);

// The launcher's own exit codes, 0x08760000 to 0x08760008: its name and what
// it means, from the launcher's src/launcher/exit_codes.h; empty for others.
std::string LauncherCodeName(uint32_t code);

// Runs the package and prints what happened; returns 0 when the exit code
// is the expected one, 1 otherwise or when it could not run.
int TryPackage(const TryOptions& options, const TryFiles& files);

}  // namespace kesto::pack
