// kesto-pack: builds launcher files (the stub, the marker and the complemented
// cabinet of a package's files), and inspects and extracts them again.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cabinet.h"
#include "host.h"
#include "launcher_file.h"
#include "names.h"
#include "package.h"

namespace fs = std::filesystem;
using namespace kesto::pack;

namespace {

const char kVersion[] = "kesto-pack " KESTO_VERSION;

const char kUsage[] =
    "usage: kesto-pack build [--stub STUB] --out OUT.exe [--entry NAME] [--store] [--mtime EPOCH] SOURCE...\n"
    "       kesto-pack inspect PACKAGE.exe\n"
    "       kesto-pack extract PACKAGE.exe FOLDER\n"
    "       kesto-pack [-s STUB] [-z] -o OUT.exe FOLDER\n"
    "       kesto-pack [-s STUB] -o OUT.exe --cab CABINET\n"
    "\n"
    "build    packs the SOURCE files and folders (a folder contributes its contents, a\n"
    "         file itself, both at the top of the package) into a cabinet behind the stub\n"
    "  --stub FILE    the launcher stub (default: the release stub beside this program,\n"
    "                 ../share/kesto/x86/kesto.exe installed, dist/x86/kesto.exe built)\n"
    "  --out FILE     the package to write; written whole or not at all\n"
    "  --entry NAME   fail unless NAME is the file the launcher will start\n"
    "  --store        store the files (default: MSZIP compression)\n"
    "  --mtime EPOCH  give every file this time (seconds since 1970, UTC); default: the\n"
    "                 SOURCE_DATE_EPOCH variable when set, else each file's own time\n"
    "  --unaligned    put the marker right behind the stub (default: zero bytes before it\n"
    "                 start the payload on a 4 KiB boundary, which makes the launcher's copy\n"
    "                 faster)\n"
    "inspect  shows a package's layout, signature, files and the entry it will start\n"
    "extract  unpacks a package's files into FOLDER without running anything\n"
    "\n"
    "The older form packs FOLDER (-z: compressed; stored by default) or a ready\n"
    "cabinet. -h, --help: this text; --version: the version.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "kesto-pack: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kesto-pack: %s\n(kesto-pack --help shows the usage)\n", message.c_str());
    return 2;
}

void Warn(const std::string& message) { std::fprintf(stderr, "kesto-pack: warning: %s\n", message.c_str()); }

// The stub used when none is named: the release stub where this program is
// installed (bin/kesto-pack -> share/kesto/x86/kesto.exe, in /usr and in an
// unpacked release archive alike) or built (dist/bin/kesto-pack and
// dist/win/kesto-pack.exe -> dist/x86/kesto.exe). Empty when neither exists;
// searched then names the places looked at.
std::string DefaultStub(std::string& searched) {
    const fs::path prefix = fs::u8path(ProgramPath()).parent_path().parent_path();
    searched.clear();
    for (const fs::path& stub : {prefix / "share" / "kesto" / "x86" / "kesto.exe", prefix / "x86" / "kesto.exe"}) {
        std::error_code error;
        if (fs::is_regular_file(stub, error)) return stub.u8string();
        searched += (searched.empty() ? "" : " or ") + stub.u8string();
    }
    return std::string();
}

std::string ReadWhole(const std::string& path, bool& ok) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    ok = bool(in);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A file or folder under a random name that is removed when the object goes.
class Scratch {
public:
    explicit Scratch(const fs::path& besides) {
        std::random_device random;
        path_ = besides;
        path_ += ".kesto-pack-" + std::to_string(random());
    }
    ~Scratch() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path() const { return path_.u8string(); }

private:
    fs::path path_;
};

fs::path TemporaryFolder() {
    std::error_code error;
    fs::path folder = fs::temp_directory_path(error);
    return error ? fs::current_path() : folder;
}

std::string CompressionName(unsigned type) {
    const char* names[] = {"stored", "MSZIP", "Quantum", "LZX"};
    return type < 4 ? names[type] : "compression " + std::to_string(type);
}

bool ParseEpoch(const std::string& text, int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    value = std::stoll(text);
    return true;
}

// Prints the entry the launcher will start and the warnings about it; false
// when a required entry is not the one that certainly runs.
bool ReportEntry(const std::vector<std::string>& names, const std::string& required) {
    EntryPrediction prediction = PredictEntry(names);
    for (const std::string& warning : prediction.warnings) Warn(warning);
    for (const std::string& name : names)
        for (const char* request : {"indicatereboot.dat", "indicateshutdown.dat", "indicatefastshutdown.dat"})
            if (SameName(name.substr(0, name.find('\\')), request))
                Warn(std::string(request) + " is in the package: every run asks Windows for a restart or shutdown "
                     "afterwards, extract-only runs included; let the entry write it instead");
    if (prediction.entry.empty())
        std::printf("entry: none: no *.bat, *.cmd or *.exe at the top of the package; the launcher can only\n"
                    "       extract it (/ExtractOnlyMode:FOLDER)\n");
    else
        std::printf("entry: %s (the first %s at the top of the package)\n", prediction.entry.c_str(),
                    prediction.pattern.c_str());
    if (required.empty()) return true;
    if (prediction.Certain() && SameName(prediction.entry, required)) return true;
    std::string runs = prediction.entry.empty() ? "no file" : prediction.entry;
    if (prediction.entryIsFolder) runs += " (a folder)";
    if (prediction.entryWithoutShortNames != prediction.entry) {
        const std::string& other = prediction.entryWithoutShortNames;
        runs += " or, without 8.3 short names, " + (other.empty() ? std::string("no file") : other);
    }
    Fail("--entry " + required + ": the launcher would start " + runs);
    return false;
}

struct BuildOptions {
    std::string stub, out, entry, cabinet;
    std::vector<std::string> sources;
    bool compress = true;
    bool align = true;
    bool haveTime = false;
    int64_t time = 0;
};

int Build(BuildOptions options) {
    if (options.stub.empty()) {
        std::string searched;
        options.stub = DefaultStub(searched);
        if (options.stub.empty()) return Fail("no stub at " + searched + "; name one with --stub");
    }
    bool readable = false;
    std::string stub = ReadWhole(options.stub, readable);
    if (!readable) return Fail(options.stub + ": cannot read the stub");
    std::string stubProblem = CheckStubImage(stub);
    if (!stubProblem.empty()) return Fail(options.stub + ": " + stubProblem);
    if (StubIsSigned(stub))
        Warn(options.stub + " is signed: its signature does not cover the package; sign the package after building");

    fs::path out = fs::u8path(options.out);
    std::error_code missing;
    if (!fs::is_directory(fs::absolute(out, missing).parent_path(), missing))
        return Fail(options.out + ": no such folder to write the package into");
    if (!options.cabinet.empty()) {  // a ready cabinet: laid out as it is
        std::string problem = WriteLauncherFile(options.stub, options.cabinet, options.out, options.align);
        return problem.empty() ? 0 : Fail(problem);
    }

    Collected collected = CollectSources(options.sources, options.haveTime ? &options.time : nullptr);
    if (!collected.problem.empty()) return Fail(collected.problem);
    for (const std::string& note : collected.notes) Warn(note);
    std::string limit = CheckLimits(collected.files, options.compress);
    if (!limit.empty()) return Fail(options.out + " not written: " + limit);

    std::vector<std::string> names;
    uint64_t total = 0;
    for (const CabinetInput& file : collected.files) {
        names.push_back(file.name);
        total += file.size;
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(file.size), file.name.c_str());
    }
    if (!ReportEntry(names, options.entry)) return 1;

    Scratch cabinet(out);
    std::string problem = WriteCabinet(cabinet.path(), collected.files, options.compress);
    if (!problem.empty()) return Fail(problem);
    std::error_code error;
    uint64_t cabinetSize = fs::file_size(fs::u8path(cabinet.path()), error);
    if (!error && cabinetSize > CabinetLimits::kCabinetBytes)
        return Fail(options.out + " not written: the cabinet is " + std::to_string(cabinetSize) +
                    " bytes; Windows reads cabinets of at most " + std::to_string(CabinetLimits::kCabinetBytes));
    problem = WriteLauncherFile(options.stub, cabinet.path(), options.out, options.align);
    if (!problem.empty()) return Fail(problem);
    std::printf("packed %zu file%s (%s) into %s: %s, cabinet %s (%s)\n", collected.files.size(),
                collected.files.size() == 1 ? "" : "s", HumanSize(total).c_str(),
                options.out.c_str(), HumanSize(fs::file_size(out, error)).c_str(), HumanSize(cabinetSize).c_str(),
                options.compress ? "MSZIP" : "stored");
    return 0;
}

// Reads a package's layout and copies its cabinet out into scratch.
std::string OpenPackage(const std::string& package, PackageLayout& layout, const Scratch& cabinet,
                        std::vector<CabinetMember>& members) {
    std::string problem = ReadLayout(package, layout);
    if (problem.empty()) problem = CopyCabinetOut(package, layout, cabinet.path());
    if (problem.empty()) {
        problem = ListCabinet(cabinet.path(), members);
        if (!problem.empty()) problem = package + ": damaged cabinet: " + problem;
    }
    if (problem.empty())
        for (const CabinetMember& member : members)
            if (!StaysInside(member.name)) return package + ": the name " + member.name + " would leave the folder it is unpacked into";
    return problem;
}

int Inspect(const std::string& package) {
    PackageLayout layout;
    Scratch cabinet(TemporaryFolder() / "inspect");
    std::vector<CabinetMember> members;
    std::string problem = OpenPackage(package, layout, cabinet, members);
    if (!problem.empty()) return Fail(problem);
    // Unpacking every file checks every data block and its checksum.
    Scratch unpacked(TemporaryFolder() / "inspect-files");
    std::error_code error;
    fs::create_directories(fs::u8path(unpacked.path()), error);
    problem = ExpandCabinet(cabinet.path(), unpacked.path());
    if (!problem.empty()) return Fail(package + ": damaged cabinet: " + problem);

    uint64_t total = 0;
    for (const CabinetMember& member : members) total += member.size;
    const uint64_t cabinetEnd = layout.payloadOffset + layout.cabinetSize;
    std::printf("package:   %s, %llu bytes\n", package.c_str(), static_cast<unsigned long long>(layout.fileSize));
    std::printf("stub:      %llu bytes of image, %llu zero bytes of padding\n",
                static_cast<unsigned long long>(layout.stubImageSize != 0 ? layout.stubImageSize : layout.markerOffset),
                static_cast<unsigned long long>(layout.stubImageSize != 0 ? layout.markerOffset - layout.stubImageSize : 0));
    std::printf("marker:    at offset %llu\n", static_cast<unsigned long long>(layout.markerOffset));
    std::printf("payload:   from offset %llu, %llu bytes to the end of the file\n",
                static_cast<unsigned long long>(layout.payloadOffset),
                static_cast<unsigned long long>(layout.fileSize - layout.payloadOffset));
    std::printf("cabinet:   %llu bytes, %zu file%s, %s unpacked, %s\n", static_cast<unsigned long long>(layout.cabinetSize),
                members.size(), members.size() == 1 ? "" : "s", HumanSize(total).c_str(),
                CompressionName(layout.compression).c_str());
    if (layout.signatureSize == 0) {
        std::printf("signature: none\n");
        if (layout.fileSize > cabinetEnd)
            Warn(std::to_string(layout.fileSize - cabinetEnd) + " bytes that are no signature follow the cabinet");
    } else if (layout.signatureOffset >= cabinetEnd && layout.signatureOffset + layout.signatureSize <= layout.fileSize) {
        std::printf("signature: a certificate table of %llu bytes at offset %llu, behind the cabinet\n",
                    static_cast<unsigned long long>(layout.signatureSize),
                    static_cast<unsigned long long>(layout.signatureOffset));
    } else {
        return Fail(package + ": the certificate table (offset " + std::to_string(layout.signatureOffset) + ", " +
                    std::to_string(layout.signatureSize) + " bytes) does not lie behind the cabinet");
    }
    std::printf("files:\n");
    std::vector<std::string> names;
    for (const CabinetMember& member : members) {
        names.push_back(member.name);
        std::printf("%12lu  %s\n", static_cast<unsigned long>(member.size), member.name.c_str());
    }
    ReportEntry(names, std::string());
    return 0;
}

int Extract(const std::string& package, const std::string& folder) {
    PackageLayout layout;
    Scratch cabinet(TemporaryFolder() / "extract");
    std::vector<CabinetMember> members;
    std::string problem = OpenPackage(package, layout, cabinet, members);
    if (!problem.empty()) return Fail(problem + "; nothing extracted");
    std::error_code error;
    fs::create_directories(fs::u8path(folder), error);
    if (error) return Fail(folder + ": " + error.message());
    problem = ExpandCabinet(cabinet.path(), folder);
    if (!problem.empty()) return Fail(package + ": damaged cabinet: " + problem);
    std::printf("extracted %zu files into %s\n", members.size(), folder.c_str());
    return 0;
}

int Run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return UsageError("nothing to do");
    const std::string& command = arguments[0];
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (command == "inspect") {
        if (arguments.size() != 2) return UsageError("inspect takes one package");
        return Inspect(arguments[1]);
    }
    if (command == "extract") {
        if (arguments.size() != 3) return UsageError("extract takes a package and a folder");
        return Extract(arguments[1], arguments[2]);
    }

    // build, or the older form without a command word.
    const bool build = command == "build";
    BuildOptions options;
    options.compress = build;
    bool optionsEnd = false;
    for (size_t i = build ? 1 : 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= arguments.size()) return false;
            into = arguments[++i];
            return true;
        };
        std::string text;
        if (optionsEnd || argument.empty() || argument[0] != '-' || argument == "-") {
            options.sources.push_back(argument);
        } else if (argument == "--") {
            optionsEnd = true;
        } else if (argument == "-h" || argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argument == "--stub" || (!build && argument == "-s")) {
            if (!value(options.stub)) return UsageError(argument + " needs a file name");
        } else if (argument == "--out" || argument == "-o" || argument == "--output") {
            if (!value(options.out)) return UsageError(argument + " needs a file name");
        } else if (build && argument == "--entry") {
            if (!value(options.entry)) return UsageError("--entry needs a file name");
        } else if (build && argument == "--store") {
            options.compress = false;
        } else if (build && argument == "--mtime") {
            if (!value(text) || !ParseEpoch(text, options.time)) return UsageError("--mtime needs seconds since 1970");
            options.haveTime = true;
        } else if (!build && (argument == "-z" || argument == "--compress")) {
            options.compress = true;
        } else if (!build && argument == "--cab") {
            if (!value(options.cabinet)) return UsageError("--cab needs a file name");
        } else if (argument == "--unaligned") {
            options.align = false;
        } else {
            return UsageError("unknown option " + argument);
        }
    }
    if (options.out.empty()) return UsageError(build ? "build needs --out FILE" : "nothing to do");
    if (build && options.sources.empty()) return UsageError("build needs at least one SOURCE");
    if (!build && options.sources.size() + (options.cabinet.empty() ? 0 : 1) != 1)
        return UsageError("one package folder or --cab CABINET");
    if (!options.haveTime) {
        const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
        if (epoch != nullptr && *epoch != '\0') {
            if (!ParseEpoch(epoch, options.time)) return UsageError("SOURCE_DATE_EPOCH is no number of seconds");
            options.haveTime = true;
        }
    }
    return Build(options);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    PrepareConsole();
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(fs::path(argv[i]).u8string());
    return Run(arguments);
}
#else
int main(int argc, char** argv) {
    PrepareConsole();
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
