// kesto-pack: makes a launcher file from the stub and a package folder (or a
// ready cabinet). The folder's files go into a cabinet made by gcab, with
// their paths relative to the folder; the launcher runs the first *.bat,
// else *.cmd, else *.exe at the top of the folder.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "launcher_file.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: kesto-pack [-s STUB] [-z] -o OUTPUT FOLDER\n"
    "       kesto-pack [-s STUB] -o OUTPUT --cab CABINET\n"
    "\n"
    "  -o, --output FILE  the launcher file to write\n"
    "  -s, --stub FILE    the launcher stub (default: x86/kesto.exe beside this\n"
    "                     program's folder, that is dist/x86/kesto.exe)\n"
    "  -z, --compress     compress the cabinet (MSZIP)\n"
    "      --unaligned    put the marker right behind the stub; by default zero\n"
    "                     bytes (under 4 KiB) go in front of it so that the\n"
    "                     payload starts on a 4 KiB boundary, which makes the\n"
    "                     launcher's copy faster\n"
    "      --cab FILE     use a ready cabinet instead of a folder\n"
    "  -h, --help         this text\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "kesto-pack: %s\n", message.c_str());
    return 1;
}

std::string DefaultStub(const char* argv0) {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) self = fs::absolute(argv0);
    return (self.parent_path().parent_path() / "x86" / "kesto.exe").string();
}

// The files under folder, relative to it, in a stable order.
std::vector<std::string> PackageFiles(const fs::path& folder, std::string& problem) {
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_symlink()) {
            problem = "links are not packed: " + it->path().string();
            return {};
        }
        if (it->is_regular_file()) files.push_back(fs::relative(it->path(), folder).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool HasEntry(const std::vector<std::string>& files) {
    for (const std::string& name : files) {
        if (name.find('/') != std::string::npos || name.size() < 4) continue;
        std::string extension = name.substr(name.size() - 4);
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        if (extension == ".bat" || extension == ".cmd" || extension == ".exe") return true;
    }
    return false;
}

// Runs gcab in folder with its arguments given one by one, never through a
// shell; the names it stores are the file arguments as given.
bool RunGcab(const std::string& folder, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("gcab"));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) {
            std::perror("kesto-pack: chdir");
            _exit(127);
        }
        execvp("gcab", argv.data());
        std::perror("kesto-pack: gcab");
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output, stub, cabinet, folder;
    bool compress = false;
    bool align = true;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (argument == "-h" || argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argument == "-o" || argument == "--output") {
            if (!value(output)) return Fail("-o needs a file name");
        } else if (argument == "-s" || argument == "--stub") {
            if (!value(stub)) return Fail("-s needs a file name");
        } else if (argument == "--cab") {
            if (!value(cabinet)) return Fail("--cab needs a file name");
        } else if (argument == "-z" || argument == "--compress") {
            compress = true;
        } else if (argument == "--unaligned") {
            align = false;
        } else if (!argument.empty() && argument[0] == '-') {
            return Fail("unknown option " + argument + "\n" + kUsage);
        } else if (folder.empty()) {
            folder = argument;
        } else {
            return Fail("one package folder only\n" + std::string(kUsage));
        }
    }
    if (output.empty() || folder.empty() == cabinet.empty()) return Fail(std::string("nothing to do\n") + kUsage);
    if (stub.empty()) stub = DefaultStub(argv[0]);

    std::string temporaryCabinet;
    if (!folder.empty()) {
        std::error_code error;
        if (!fs::is_directory(folder, error)) return Fail(folder + " is not a folder");
        std::string problem;
        std::vector<std::string> files = PackageFiles(folder, problem);
        if (!problem.empty()) return Fail(problem);
        if (files.empty()) return Fail(folder + " holds no files");
        if (!HasEntry(files))
            std::fprintf(stderr, "kesto-pack: note: no *.bat, *.cmd or *.exe at the top of %s; "
                                 "the launcher can only extract it (ExtractOnlyMode)\n", folder.c_str());
        temporaryCabinet = output + ".cab.tmp";
        std::vector<std::string> arguments = {"--create"};
        if (compress) arguments.push_back("--zip");
        arguments.push_back(fs::absolute(temporaryCabinet).string());
        arguments.insert(arguments.end(), files.begin(), files.end());
        if (!RunGcab(folder, arguments)) {
            fs::remove(temporaryCabinet, error);
            return Fail("gcab could not make the cabinet");
        }
        cabinet = temporaryCabinet;
    }

    std::string problem = kesto::pack::WriteLauncherFile(stub, cabinet, output, align);
    if (!temporaryCabinet.empty()) {
        std::error_code error;
        fs::remove(temporaryCabinet, error);
    }
    if (!problem.empty()) {
        std::error_code error;
        fs::remove(output, error);
        return Fail(problem);
    }
    return 0;
}
