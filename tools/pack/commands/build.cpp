#include "commands/build.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "commands/shared.h"
#include "host.h"
#include "identity/package_identity.h"
#include "names.h"
#include "package/launcher_file.h"
#include "package/read_package.h"
#include "progress.h"
#include "sources/collect.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

std::string DefaultStub(std::string& searched) { return InstalledFile("x86", "kesto.exe", searched); }

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

}  // namespace

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
    // The stub is read and scanned for the marker here, once.
    StubImage stub;
    std::string reason;
    if (!ReadStub(stubPath, stub, reason)) return Fail(stubPath + ": cannot read the stub: " + reason);
    std::string stubProblem = CheckStubImage(stub);
    if (!stubProblem.empty()) return Fail(stubPath + ": " + stubProblem);
    const bool branding = options.identity.Given();
    if (StubIsSigned(stub.bytes)) {
        if (branding)
            return Fail(stubPath + " is signed: --icon, --version and --info change its image, and its signature would "
                        "no longer hold; take an unsigned stub and sign the package after building");
        Warn(stubPath + " is signed: its signature does not cover the package; sign the package after building");
    }
    StubImage branded;
    if (branding) {
        std::string problem = BrandImage(stub, options.identity, out.filename().u8string(), branded);
        if (!problem.empty()) return Fail(options.out + " not written: " + problem);
    }
    const StubImage& image = branding ? branded : stub;

    WrittenPackage written;
    const bool align = !options.unaligned;
    if (!options.cabinet.empty()) {  // a ready cabinet: laid out as it is
        std::string problem = WriteLauncherFile(
            image, options.out, align,
            [&](const Payload& payload) { return CopyCabinetIn(options.cabinet, payload); }, nullptr, written, branding);
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
        image, options.out, align,
        [&](const Payload& payload) {
            Progress progress("packing", total);
            return WriteCabinet(payload, collected.files, compress, [&](uint64_t bytes) { progress.Add(bytes); });
        },
        &expected, written, branding);
    if (!problem.empty()) return Fail(problem);
    PrintSummary(options.out, written);
    return 0;
}

}  // namespace kesto::pack
