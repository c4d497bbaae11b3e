// kesto-pack: builds launcher files (the stub, the marker and the complemented
// cabinet of a package's files), and inspects and extracts them again. Here
// only the command line is read and handed to the command's module.
#include <filesystem>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands/build.h"
#include "commands/extract.h"
#include "commands/inspect.h"
#include "commands/shared.h"
#include "commands/try_package.h"
#include "host.h"

namespace fs = std::filesystem;
using namespace kesto::pack;

namespace {

int Run(const std::vector<std::string>& arguments) {
    CommandLine line;
    const int code = ParseCommandLine(arguments, line);
    if (code >= 0) return code;
    if (line.command == "inspect") return Inspect(line.inspect);
    if (line.command == "extract") return Extract(line.extract);
    if (line.command == "try") {
        // Each file where it is, or where it was looked for (try names what is missing).
        auto find = [](const std::string& folder, const std::string& name) {
            std::string searched, found = InstalledFile(folder, name, searched);
            return found.empty() ? searched : found;
        };
        const TryFiles files{find("x86", "kesto.exe"), find("x64", "kesto.exe"), find("wine", "expand.exe"),
                             find("wine", "kesto-run-hidden.exe")};
        return TryPackage(line.trial, files);
    }
    return Build(line.build);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    PrepareConsole();
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(fs::path(argv[i]).u8string());
    int code = Run(arguments);
    return Interrupted() ? InterruptedExitCode() : code;
}
#else
int main(int argc, char** argv) {
    PrepareConsole();
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
