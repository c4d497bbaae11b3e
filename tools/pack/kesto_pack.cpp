// kesto-pack: builds launcher files (the stub, the marker and the complemented
// cabinet of a package's files), and inspects and extracts them again.
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cabinet.h"
#include "cabinet_reader.h"
#include "command_line.h"
#include "extract.h"
#include "host.h"
#include "launcher_file.h"
#include "names.h"
#include "package.h"
#include "package_identity.h"
#include "progress.h"
#include "try_package.h"

namespace fs = std::filesystem;
using namespace kesto::pack;

namespace {

int Fail(const std::string& message) {
    // An interrupted step fails wherever it was: say why instead.
    std::fprintf(stderr, "kesto-pack: %s\n", Interrupted() ? "interrupted; temporary files removed" : message.c_str());
    return 1;
}

void Warn(const std::string& message) { std::fprintf(stderr, "kesto-pack: warning: %s\n", message.c_str()); }

// The stub used when none is named: the release stub where this program is
// installed (bin/kesto-pack -> share/kesto/x86/kesto.exe, in /usr and in an
// unpacked release archive alike) or built (dist/bin/kesto-pack and
// dist/win/kesto-pack.exe -> dist/x86/kesto.exe). Empty when neither exists;
// searched then names the places looked at.
// The same holds for every file of kesto's share/kesto/ (folder/name).
std::string InstalledFile(const std::string& folder, const std::string& name, std::string& searched) {
    const fs::path prefix = fs::u8path(ProgramPath()).parent_path().parent_path();
    searched.clear();
    for (const fs::path& file : {prefix / "share" / "kesto" / folder / name, prefix / folder / name}) {
        std::error_code error;
        if (fs::is_regular_file(file, error)) return file.u8string();
        searched += (searched.empty() ? "" : " or ") + file.u8string();
    }
    return std::string();
}
std::string DefaultStub(std::string& searched) { return InstalledFile("x86", "kesto.exe", searched); }

// The bytes of a file; reason gets why it cannot be read.
std::string ReadWhole(const std::string& path, bool& ok, std::string& reason) {
    errno = 0;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    ok = bool(in);
    if (!ok) reason = errno != 0 ? ErrnoText() : "cannot be opened";
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The line that names the entry the launcher will start.
std::string EntryLine(const EntryPrediction& prediction) {
    if (prediction.entry.empty())
        return "entry: none: no *.bat, *.cmd or *.exe at the top of the package; the launcher can only\n"
               "       extract it (/ExtractOnlyMode:FOLDER)";
    return "entry: " + prediction.entry + " (the first " + prediction.pattern + " at the top of the package)";
}

// Why required is not the entry that certainly runs, or an empty string.
std::string EntryProblem(const EntryPrediction& prediction, const std::string& required) {
    if (prediction.Certain() && SameName(prediction.entry, required)) return std::string();
    std::string runs = prediction.entry.empty() ? "no file" : prediction.entry;
    if (prediction.entryIsFolder) runs += " (a folder)";
    if (prediction.entryWithoutShortNames != prediction.entry) {
        const std::string& other = prediction.entryWithoutShortNames;
        runs += " or, without 8.3 short names, " + (other.empty() ? std::string("no file") : other);
    }
    return "--entry " + required + ": the launcher would start " + runs;
}

std::vector<std::string> NamesOf(const std::vector<PackageFile>& files) {
    std::vector<std::string> names;
    for (const PackageFile& file : files) names.push_back(file.name);
    return names;
}

// Why the package cannot be written under out: it is one of the sources, or
// lies inside a source folder (it would replace a source, or be packed into
// the next package). Compared by real paths, through links.
std::string OutAmongSources(const std::string& out, const std::vector<std::string>& sources) {
    std::error_code error;
    const fs::path target = fs::weakly_canonical(fs::u8path(out), error);
    if (error) return std::string();
    for (const std::string& source : sources) {
        const fs::path real = fs::weakly_canonical(fs::u8path(source), error);
        if (error) continue;  // collecting the sources names the problem
        if (real == target || fs::equivalent(real, target, error))
            return "--out " + out + " is the source " + source + "; the package would replace it";
        if (fs::is_directory(real, error) &&
            std::mismatch(real.begin(), real.end(), target.begin(), target.end()).first == real.end())
            return "--out " + out + " lies inside the source folder " + source + "; the package would be packed into the next one";
    }
    return std::string();
}

// The end of a build: what the package holds, then, as the last line for
// logs, what the package just written gave back when it was read as the
// launcher reads it.
void PrintSummary(const std::string& out, const WrittenPackage& written) {
    std::printf("packed %zu file%s (%s) into %s: %s, cabinet %s (%s), XXH64 %s\n", written.files,
                written.files == 1 ? "" : "s", HumanSize(written.unpackedBytes).c_str(), out.c_str(),
                HumanSize(written.fileBytes).c_str(), HumanSize(written.cabinetBytes).c_str(), written.compression.c_str(),
                DigestText(written.digest).c_str());
    std::printf("read back whole: %zu file%s of %llu bytes in a cabinet of %llu bytes, XXH64 %s\n", written.files,
                written.files == 1 ? "" : "s", static_cast<unsigned long long>(written.unpackedBytes),
                static_cast<unsigned long long>(written.cabinetBytes), DigestText(written.digest).c_str());
}

int Build(const BuildOptions& options) {
    std::string stubPath = options.stub;
    fs::path out = fs::u8path(options.out);
    std::error_code missing;
    if (!fs::is_directory(fs::absolute(out, missing).parent_path(), missing))
        return Fail(options.out + (!missing || missing == std::errc::no_such_file_or_directory
                                       ? ": no such folder to write the package into"
                                       : ": cannot enter its folder: " + missing.message()));
    if (stubPath.empty()) {
        std::string searched;
        stubPath = DefaultStub(searched);
        if (stubPath.empty()) return Fail("no stub at " + searched + "; name one with --stub");
    }
    std::vector<std::string> inputs = options.sources;
    for (const std::string& input : {options.cabinet, stubPath})
        if (!input.empty()) inputs.push_back(input);
    std::string among = OutAmongSources(options.out, inputs);
    if (!among.empty()) return UsageError(among, "build");
    bool readable = false;
    std::string reason;
    std::string stub = ReadWhole(stubPath, readable, reason);
    if (!readable) return Fail(stubPath + ": cannot read the stub: " + reason);
    std::string stubProblem = CheckStubImage(stub);
    if (!stubProblem.empty()) return Fail(stubPath + ": " + stubProblem);
    if (StubIsSigned(stub) && options.identity.Given())
        return Fail(stubPath + " is signed: --icon, --version and --info change its image, and its signature would no "
                    "longer hold; take an unsigned stub and sign the package after building");
    if (StubIsSigned(stub))
        Warn(stubPath + " is signed: its signature does not cover the package; sign the package after building");
    std::string branded;
    if (options.identity.Given()) {
        std::string problem = BrandImage(stub, stubPath, options.identity, out.filename().u8string(), branded);
        if (!problem.empty()) return Fail(options.out + " not written: " + problem);
    }
    const std::string* image = options.identity.Given() ? &branded : nullptr;

    WrittenPackage written;
    const bool align = !options.unaligned;
    if (!options.cabinet.empty()) {  // a ready cabinet: laid out as it is
        std::string problem = WriteLauncherFile(
            stubPath, options.out, align,
            [&](const Payload& payload) { return CopyCabinetIn(options.cabinet, payload); }, nullptr, written, image);
        if (!problem.empty()) return Fail(problem);
        PrintSummary(options.out, written);
        return 0;
    }

    Collected collected = CollectSources(options.sources, options.haveTime ? &options.time : nullptr);
    if (!collected.problem.empty()) return Fail(collected.problem);
    for (const std::string& note : collected.notes) Warn(note);
    const bool compress = !options.store;
    std::string limit = CheckLimits(collected.files, compress);
    if (!limit.empty()) return Fail(options.out + " not written: " + limit);

    std::vector<PackageFile> files;
    uint64_t total = 0;
    for (const CabinetInput& file : collected.files) {
        files.push_back({file.name, file.size});
        total += file.size;
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(file.size), file.name.c_str());
    }
    const EntryPrediction prediction = PredictEntry(NamesOf(files));
    for (const std::string& warning : PackageWarnings(files, prediction)) Warn(warning);
    std::printf("%s\n", EntryLine(prediction).c_str());
    if (!options.entry.empty()) {
        std::string problem = EntryProblem(prediction, options.entry);
        if (!problem.empty()) return Fail(problem);
    }
    if (prediction.entry.empty()) {
        std::fflush(stdout);
        Warn("the package has no entry: every normal run ends with 0x08760008 (141950984); only an extract-only "
             "run (/ExtractOnlyMode:FOLDER) succeeds");
    }

    std::vector<CabinetMember> expected;
    for (const CabinetInput& file : collected.files) expected.push_back({file.name, uint32_t(file.size)});
    std::string problem = WriteLauncherFile(
        stubPath, options.out, align,
        [&](const Payload& payload) {
            Progress progress("packing", total);
            return WriteCabinet(payload, collected.files, compress, [&](uint64_t bytes) { progress.Add(bytes); });
        },
        &expected, written, image);
    if (!problem.empty()) return Fail(problem);
    PrintSummary(options.out, written);
    return 0;
}

// Each file's SHA-256, by its name (a package that reads back has no two the same).
class Sha256Sink : public EntrySink {
public:
    std::string Begin(const CabinetEntry&) override {
        hash_.reset(new Sha256);
        return std::string();
    }
    std::string Write(const unsigned char* bytes, size_t size) override {
        hash_->Update(bytes, size);
        return std::string();
    }
    std::string End(const CabinetEntry& entry) override {
        digests[entry.name] = hash_->Hex();
        return digests[entry.name].empty() ? "the system cannot compute SHA-256" : std::string();
    }
    std::map<std::string, std::string> digests;

private:
    std::unique_ptr<Sha256> hash_;
};

// The free space a run needs in the temporary folder: the launcher copies
// the cabinet there (MyData.cab) and expand.exe unpacks the files beside it;
// both stay until the work folder goes at the end. Each file is rounded up
// to NTFS's usual 4 KiB cluster; the folders' own entries are not counted.
constexpr uint64_t kClusterBytes = 4096;
uint64_t RunSpace(const CabinetTable& table) {
    auto clusters = [](uint64_t bytes) { return (bytes + kClusterBytes - 1) / kClusterBytes * kClusterBytes; };
    uint64_t total = clusters(table.cabinetBytes);
    for (const CabinetEntry& entry : table.entries) total += clusters(entry.size);
    return total;
}

int Inspect(const InspectOptions& options) {
    const std::string& package = options.package;
    FileSource file(package);
    if (!file.Open()) return Fail("cannot read " + package + ": " + file.Reason());
    PackageLayout layout;
    CabinetTable table;
    std::string problem = ReadPackage(file, layout, table);
    if (!problem.empty()) return Fail(package + ": " + problem);
    // Every data block is read, its checksum checked and MSZIP undone; the
    // files go nowhere but into their SHA-256 for --json.
    Sha256Sink hashes;
    {
        PayloadSource cabinet(file, layout.payloadOffset);
        DiscardSink discard;
        Progress progress("checking", table.FileBytes());
        ProgressSink sink(options.json ? static_cast<EntrySink&>(hashes) : discard, progress);
        problem = ReadCabinetData(cabinet, table, sink);
    }
    if (!problem.empty()) return Fail(package + ": damaged cabinet: " + problem);

    const uint64_t cabinetEnd = layout.payloadOffset + table.cabinetBytes;
    const bool isSigned = layout.signatureSize != 0;
    if (isSigned && (layout.signatureOffset < cabinetEnd || layout.signatureOffset + layout.signatureSize > layout.fileSize))
        return Fail(package + ": the certificate table (offset " + std::to_string(layout.signatureOffset) + ", " +
                    std::to_string(layout.signatureSize) + " bytes) does not lie behind the cabinet");
    const uint64_t stubEnd = layout.hasDigest ? layout.markerOffset - kesto::kDigestRecordSize : layout.markerOffset;
    const uint64_t image = layout.stubImageSize != 0 ? layout.stubImageSize : stubEnd;
    const uint64_t padding = layout.stubImageSize != 0 && layout.stubImageSize <= stubEnd ? stubEnd - layout.stubImageSize : 0;
    const std::string compression = CompressionName(table.folders.empty() ? 0 : table.folders[0].compression);

    std::vector<PackageFile> files;
    for (const CabinetEntry& entry : table.entries) files.push_back({entry.name, entry.size});
    const EntryPrediction prediction = PredictEntry(NamesOf(files));
    std::vector<std::string> warnings;
    if (!isSigned && layout.fileSize > cabinetEnd)
        warnings.push_back(std::to_string(layout.fileSize - cabinetEnd) + " bytes that are no signature follow the cabinet");
    for (const std::string& warning : PackageWarnings(files, prediction)) warnings.push_back(warning);
    // The identity Windows shows, read from the stub's image as build wrote it.
    PackageIdentity identity;
    std::string stubImage(size_t(std::min(image, stubEnd)), '\0');
    problem = file.Read(0, reinterpret_cast<unsigned char*>(&stubImage[0]), stubImage.size()) ? ReadIdentity(stubImage, identity)
                                                                                                : "cannot be read";
    if (!problem.empty()) warnings.push_back("the stub's resources: " + problem);

    if (options.json) {
        for (const std::string& warning : warnings) Warn(warning);
        using Json = nlohmann::ordered_json;
        Json report;
        report["package"] = package;
        report["layout"] = {{"file_size", layout.fileSize},
                            {"stub_image_size", image},
                            {"padding", padding},
                            {"marker_offset", layout.markerOffset},
                            {"payload_offset", layout.payloadOffset},
                            {"payload_size", layout.fileSize - layout.payloadOffset},
                            {"cabinet_size", table.cabinetBytes},
                            {"compression", compression},
                            {"files", table.entries.size()},
                            {"unpacked_size", table.FileBytes()}};
        report["digest"] = {{"algorithm", "XXH64"},
                            {"value", layout.hasDigest ? Json(DigestText(layout.digest.value)) : Json()},
                            {"cabinet_size", layout.hasDigest ? Json(layout.digest.cabinetBytes) : Json()},
                            {"state", layout.hasDigest ? "matches" : "no digest"}};
        report["run_space"] = {{"bytes", RunSpace(table)}, {"cluster_size", kClusterBytes}};
        report["signature"] = isSigned ? Json{{"offset", layout.signatureOffset}, {"size", layout.signatureSize}} : Json();
        report["identity"] = IdentityJson(identity);
        report["files"] = Json::array();
        for (const PackageFile& each : files)
            report["files"].push_back({{"name", each.name}, {"size", each.size}, {"sha256", hashes.digests[each.name]}});
        auto nameOrNull = [](const std::string& name) { return name.empty() ? Json() : Json(name); };
        report["entry"] = {{"name", nameOrNull(prediction.entry)},
                           {"pattern", nameOrNull(prediction.pattern)},
                           {"certain", prediction.Certain()},
                           {"without_short_names", nameOrNull(prediction.entryWithoutShortNames)},
                           {"is_folder", prediction.entryIsFolder}};
        report["warnings"] = warnings;
        std::printf("%s\n", report.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
        return 0;
    }

    const size_t count = table.entries.size();
    std::printf("package:   %s, %llu bytes\n", package.c_str(), static_cast<unsigned long long>(layout.fileSize));
    std::printf("stub:      %llu bytes of image, %llu zero bytes of padding\n", static_cast<unsigned long long>(image),
                static_cast<unsigned long long>(padding));
    std::printf("marker:    at offset %llu\n", static_cast<unsigned long long>(layout.markerOffset));
    std::printf("payload:   from offset %llu, %llu bytes to the end of the file\n",
                static_cast<unsigned long long>(layout.payloadOffset),
                static_cast<unsigned long long>(layout.fileSize - layout.payloadOffset));
    std::printf("cabinet:   %llu bytes, %zu file%s, %s unpacked, %s\n", static_cast<unsigned long long>(table.cabinetBytes),
                count, count == 1 ? "" : "s", HumanSize(table.FileBytes()).c_str(), compression.c_str());
    std::printf("run space: %llu bytes (%s) free in the temporary folder: the cabinet and the files, both kept\n"
                "           until the run ends, each rounded up to %llu-byte clusters\n",
                static_cast<unsigned long long>(RunSpace(table)), HumanSize(RunSpace(table)).c_str(),
                static_cast<unsigned long long>(kClusterBytes));
    if (layout.hasDigest)
        std::printf("digest:    XXH64 %s of the cabinet's %llu bytes: matches\n", DigestText(layout.digest.value).c_str(),
                    static_cast<unsigned long long>(layout.digest.cabinetBytes));
    else
        std::printf("digest:    no digest (a package made without a digest record)\n");
    if (isSigned)
        std::printf("signature: a certificate table of %llu bytes at offset %llu, behind the cabinet\n",
                    static_cast<unsigned long long>(layout.signatureSize),
                    static_cast<unsigned long long>(layout.signatureOffset));
    else
        std::printf("signature: none\n");
    for (const std::string& line : IdentityLines(identity)) std::printf("%s\n", line.c_str());
    std::printf("files:\n");
    for (const PackageFile& each : files)
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(each.size), each.name.c_str());
    std::fflush(stdout);  // the warnings after the files, on a terminal too
    for (const std::string& warning : warnings) Warn(warning);
    std::printf("%s\n", EntryLine(prediction).c_str());
    return 0;
}
// All or nothing: the package is checked, the files are unpacked into a new
// folder beside FOLDER and moved into place only when every one of them was
// written whole.
int Extract(const ExtractOptions& options) {
    const std::string &package = options.package, &folderName = options.folder;
    FileSource file(package);
    if (!file.Open()) return Fail("cannot read " + package + ": " + file.Reason() + "; nothing extracted");
    PackageLayout layout;
    CabinetTable table;
    std::string problem = ReadPackage(file, layout, table);
    if (!problem.empty()) return Fail(package + ": " + problem + "; nothing extracted");

    PayloadSource cabinet(file, layout.payloadOffset);
    problem = ExtractFiles(cabinet, table, package, folderName);
    if (!problem.empty()) return Fail(problem);
    const uint64_t needed = table.FileBytes();
    std::printf("extracted %zu file%s (%s) into %s\n", table.entries.size(), table.entries.size() == 1 ? "" : "s",
                HumanSize(needed).c_str(), folderName.c_str());
    return 0;
}

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
