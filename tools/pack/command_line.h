#pragma once
// kesto-pack's command line: one table of options for each command (build,
// inspect, extract, try) on CLI11, from which the parsing and every --help come.
// The older form without a command word is read as the build it stands for.
#include <cstdint>
#include <string>
#include <vector>

#include "commands/try_package.h"
#include "identity/package_identity.h"

namespace kesto::pack {

struct BuildOptions {
    std::string stub, out, entry, cabinet;
    std::vector<std::string> sources;
    bool store = false;
    bool compress = false;  // -z: what build does anyway; the older form stores without it
    bool unaligned = false;
    bool haveTime = false;  // from --mtime, else SOURCE_DATE_EPOCH
    int64_t time = 0;
    IdentityOptions identity;  // --icon, --version, --info
};

struct InspectOptions {
    std::string package;
    bool json = false;
};

struct ExtractOptions {
    std::string package, folder;
};

struct CommandLine {
    std::string command;  // "build", "inspect", "extract" or "try"
    BuildOptions build;
    InspectOptions inspect;
    ExtractOptions extract;
    TryOptions trial;
};

// Reads the arguments (without the program's name) into line and returns -1
// when a command is to run. Otherwise it has printed the usage, a command's
// help, the version or what is wrong, and returns the exit code: 0 for help
// and version, 2 for a wrong command line (no arguments at all included,
// with the usage on stderr).
int ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& line);

// Prints "kesto-pack: message" and where the usage is, for a wrong command
// line; returns its exit code, 2.
int UsageError(const std::string& message, const std::string& command = std::string());

}  // namespace kesto::pack
