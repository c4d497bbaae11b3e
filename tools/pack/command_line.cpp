#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "kesto_commit.h"
#include "names.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

const char kVersion[] = "kesto-pack " KESTO_VERSION " (commit " KESTO_COMMIT ")";

bool ParseEpoch(const std::string& text, int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    value = std::stoll(text);
    return true;
}

// CLI11's layout, with each option's value named but without the lists of
// the options it excludes, which its description says in words.
class Layout : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_type_name().empty() ? std::string() : " " + option->get_type_name();
    }
};

// The tables. The descriptions are the user's reference: --help prints them
// and the manual page names the same options (a test keeps the two in step).
void DescribeCommands(CLI::App& app, CommandLine& line, std::string& mtime, std::string& expect) {
    app.set_help_flag("-h,--help", "show this help");
    app.set_version_flag("--version", kVersion, "show the version");
    auto layout = std::make_shared<Layout>();
    layout->column_width(22);
    layout->label("SUBCOMMAND", "COMMAND");
    app.formatter(layout);  // before the commands, which take it over
    app.footer("kesto-pack COMMAND --help (or kesto-pack help COMMAND) shows a command's options.");

    BuildOptions& build = line.build;
    CLI::App* building = app.add_subcommand("build", "packs files and folders into a package behind the launcher stub");
    building->group("Commands");
    building->footer(
        "The older form, kesto-pack [-s STUB] [-z] -o OUT.exe FOLDER, packs a folder as build\n"
        "--store does (compressed with -z); kesto-pack [-s STUB] -o OUT.exe --cab CABINET lays\n"
        "out a ready cabinet.");
    building->add_option("-s,--stub", build.stub,
                         "the launcher stub (default: the release stub beside this program,\n"
                         "../share/kesto/x86/kesto.exe installed, ../x86/kesto.exe built)")
        ->type_name("STUB");
    building->add_option("-o,--out,--output", build.out, "the package to write (required); written whole or not at all")
        ->type_name("OUT.exe");
    CLI::Option* entry =
        building->add_option("--entry", build.entry, "fail unless NAME (in any case) is certainly the file the\nlauncher starts")
            ->type_name("NAME");
    CLI::Option* store = building->add_flag("--store", build.store, "store the files (default: MSZIP compression)");
    building->add_flag("-z,--compress", build.compress, "compress the files with MSZIP: the default; the older form\nstores without it")
        ->excludes(store);
    CLI::Option* time =
        building
            ->add_option("--mtime", mtime,
                         "give every file this time (seconds since 1970, UTC); default:\n"
                         "the SOURCE_DATE_EPOCH variable when set, else each file's own\n"
                         "time; the cabinet holds 1980 to 2107")
            ->type_name("EPOCH")
            ->check([](const std::string& text) {
                int64_t value = 0;
                return ParseEpoch(text, value) ? std::string() : std::string("needs seconds since 1970");
            });
    building->add_flag("--unaligned", build.unaligned,
                       "put the marker right behind the stub (default: zero bytes before\n"
                       "it start the payload on a 4 KiB boundary, which makes the\n"
                       "launcher's copy faster)");
    CLI::Option* sources = building->add_option("SOURCE", build.sources,
                                                "the files and folders to pack: a folder contributes its\n"
                                                "contents, a file itself, both at the top of the package")
                               ->type_name("");
    building->add_option("--cab", build.cabinet,
                         "lay out this ready cabinet behind the stub as it is, instead of\n"
                         "packing SOURCE (so without --store, --entry and --mtime)")
        ->type_name("CABINET")
        ->excludes(sources, store, entry, time);

    building->add_option("--icon", build.identity.icon,
                         "the package's icon: a .ico file, every image of it (16 to 256\n"
                         "pixels, PNG-compressed ones included)")
        ->type_name("FILE.ico");
    building->add_option("--version", build.identity.version,
                         "the file and product version, X[.Y[.Z[.W]]] (missing parts\n"
                         "are 0; each at most 65535); also their strings unless --info\n"
                         "gives them")
        ->type_name("X.Y.Z.W");
    building->add_option("--info", build.identity.info,
                         "a version string Windows shows (repeatable): NAME is\n"
                         "ProductName, CompanyName, FileDescription, LegalCopyright,\n"
                         "LegalTrademarks, OriginalFilename (default: OUT's name),\n"
                         "InternalName, Comments, ProductVersion or FileVersion")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);

    InspectOptions& inspect = line.inspect;
    CLI::App* inspecting = app.add_subcommand("inspect", "checks a package whole (digest, tables, every data block,\n"
                                                         "names) and shows what it holds and the entry it will start");
    inspecting->group("Commands");
    inspecting->footer("");
    inspecting->add_option("PACKAGE", inspect.package, "the package to check")->type_name("")->required();
    inspecting->add_flag("--json", inspect.json,
                         "print one JSON document instead of text: the layout, the\n"
                         "digest, the signature, every file with its size and SHA-256,\n"
                         "the entry and the warnings");

    ExtractOptions& extract = line.extract;
    CLI::App* extracting = app.add_subcommand("extract", "checks a package as inspect does and unpacks its files into\n"
                                                         "FOLDER, all or nothing, without running anything; files\n"
                                                         "already in FOLDER are never replaced");
    extracting->group("Commands");
    extracting->footer("");
    extracting->add_option("PACKAGE", extract.package, "the package to unpack")->type_name("")->required();
    extracting->add_option("FOLDER", extract.folder, "where the files go (made when missing)")->type_name("")->required();

    TryOptions& trial = line.trial;
    CLI::App* trying = app.add_subcommand("try", "runs a package under Wine as a deployment tool runs it on\n"
                                                 "Windows, hidden, and shows its whole exit code, its log and\n"
                                                 "its work folder (Linux)");
    trying->group("Commands");
    trying->footer(
        "ARGS, joined by single spaces, are the package's command-line tail exactly as they\n"
        "stand (quote marks included); without a /LOG: option try adds one of its own. The\n"
        "Wine prefix is made once, with kesto's expand.exe; Xvfb gives a display when\n"
        "DISPLAY is unset. Exit status: 0 when the exit code is as expected, else 1.");
    trying->add_option("--expect", expect,
                       "the exit code that passes, decimal or 0x hexadecimal (default:\n"
                       "any code but the launcher's own, 0x08760000 to 0x08760008)")
        ->type_name("CODE")
        ->check([](const std::string& text) {
            uint32_t code = 0;
            return ParseExitCode(text, code) ? std::string() : std::string("needs a 32-bit exit code");
        });
    trying->add_option("--prefix", trial.prefix,
                       "the Wine prefix to use (default: the KESTO_WINEPREFIX variable\n"
                       "when set, else $XDG_CACHE_HOME/kesto/wine or ~/.cache/kesto/wine)")
        ->type_name("FOLDER");
    trying->add_option("PACKAGE", trial.package, "the package to run")->type_name("")->required();
    trying->add_option("ARGS", trial.arguments, "its command-line tail")->type_name("");
}

// Where try's own options end: the index of PACKAGE in words (words[0] is
// "try"), or words.size(). What follows PACKAGE is the tail, not options.
size_t TryPackageIndex(const std::vector<std::string>& words) {
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") return i + 1;
        if (word == "--expect" || word == "--prefix") ++i;
        else if (word.empty() || word[0] != '-') return i;
    }
    return words.size();
}

// The older form, "kesto-pack [-s STUB] [-z] -o OUT.exe FOLDER" or
// "kesto-pack [-s STUB] -o OUT.exe --cab CABINET", as the build it stands
// for: stored unless -z (or --compress) is given.
std::vector<std::string> AsBuild(const std::vector<std::string>& arguments) {
    bool stored = true;
    for (const std::string& argument : arguments) {
        if (argument == "--") break;
        if (argument == "-z" || argument == "--compress" || argument.compare(0, 5, "--cab") == 0) stored = false;
    }
    std::vector<std::string> build = {"build"};
    if (stored) build.push_back("--store");
    build.insert(build.end(), arguments.begin(), arguments.end());
    return build;
}

// The command of that name, or null.
const CLI::App* CommandNamed(const CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        if (command->get_name() == name) return command;
    return nullptr;
}

// "No command NAME", naming those there are; returns 2.
int NoCommand(const CLI::App& app, const std::string& name) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(command->get_name());
    return UsageError("no command " + name + "; the commands are " + Join(names));
}

}  // namespace

int UsageError(const std::string& message, const std::string& command) {
    std::fprintf(stderr, "kesto-pack: %s\n(kesto-pack %s--help shows the usage)\n", message.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    return 2;
}

int ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& line) {
    CLI::App app("kesto-pack builds, inspects, extracts and tries kesto packages: a launcher stub for Windows\n"
                 "with a cabinet of files behind it.",
                 "kesto-pack");
    std::string mtime, expect;
    DescribeCommands(app, line, mtime, expect);

    if (arguments.empty()) {
        std::fputs(app.help().c_str(), stderr);
        return 2;
    }
    const std::string& first = arguments[0];
    if (first == "help") {
        if (arguments.size() > 2) return UsageError("help takes one command");
        const CLI::App* about = arguments.size() == 1 ? &app : CommandNamed(app, arguments[1]);
        if (about == nullptr) return NoCommand(app, arguments[1]);
        std::fputs(about->help(about == &app ? "" : "kesto-pack").c_str(), stdout);
        return 0;
    }
    std::vector<std::string> words = arguments, tail;
    if (first == "try") {  // the package's tail is given to it as it stands
        const size_t package = TryPackageIndex(words);
        if (package + 1 < words.size()) {
            tail.assign(words.begin() + std::ptrdiff_t(package) + 1, words.end());
            words.resize(package + 1);
        }
        if (package < words.size() && words[package - 1] != "--") words.insert(words.begin() + std::ptrdiff_t(package), "--");
    }
    if (CommandNamed(app, first) == nullptr && first != "-h" && first != "--help" && first != "--version") {
        const bool options = std::any_of(arguments.begin(), arguments.end(),
                                         [](const std::string& word) { return word.size() > 1 && word[0] == '-'; });
        if (!options) return NoCommand(app, first);
        words = AsBuild(arguments);
    }

    try {
        std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return 0;
    } catch (const CLI::ParseError& error) {
        const std::vector<CLI::App*> chosen = app.get_subcommands();
        return UsageError(error.what(), chosen.empty() ? std::string() : chosen[0]->get_name());
    }
    if (app.get_subcommands().empty()) return UsageError("no command");
    line.command = app.get_subcommands()[0]->get_name();
    if (line.command == "try") {
        line.trial.arguments = tail;
        line.trial.haveExpected = !expect.empty() && ParseExitCode(expect, line.trial.expected);  // checked by the table
        return -1;
    }
    if (line.command != "build") return -1;

    BuildOptions& build = line.build;
    if (build.out.empty()) return UsageError("build needs --out FILE", "build");
    if (build.sources.empty() && build.cabinet.empty()) return UsageError("build needs at least one SOURCE", "build");
    if (!mtime.empty()) {
        build.haveTime = ParseEpoch(mtime, build.time);  // checked by the table
    } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
        if (!ParseEpoch(epoch, build.time)) return UsageError("SOURCE_DATE_EPOCH is no number of seconds", "build");
        build.haveTime = true;
    }
    if (build.identity.Given()) {
        std::string problem = CheckIdentityOptions(build.identity, fs::u8path(build.out).filename().u8string());
        if (!problem.empty()) return UsageError(problem, "build");
    }
    return -1;
}

}  // namespace kesto::pack
