// kesto-pack: builds launcher files (the stub, the marker and the complemented
// cabinet of a package's files), and inspects and extracts them again.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cabinet.h"
#include "cabinet_reader.h"
#include "command_line.h"
#include "host.h"
#include "launcher_file.h"
#include "names.h"
#include "package.h"
#include "package_identity.h"
#include "progress.h"

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

// A new folder under a random name beside path, removed with everything
// still in it when the object goes, and when the program is interrupted.
class StagingFolder {
public:
    explicit StagingFolder(const fs::path& besides) {
        std::random_device random;
        path_ = besides.parent_path() / ("." + besides.filename().u8string() + ".kesto-pack-" + std::to_string(random()));
        RemoveIfInterrupted(path_.u8string());
        std::error_code error;
        created_ = fs::create_directory(path_, error);
    }
    ~StagingFolder() {
        std::error_code error;
        fs::remove_all(path_, error);
        KeepIfInterrupted(path_.u8string());
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    bool Created() const { return created_; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    bool created_ = false;
};

// A cabinet name as a path below folder.
fs::path Below(const fs::path& folder, const std::string& name) {
    fs::path path = folder;
    for (size_t start = 0;;) {
        size_t end = name.find('\\', start);
        path /= fs::u8path(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return path;
        start = end + 1;
    }
}

// A cabinet's DOS date and time (taken as UTC, as the packer writes them) as
// a file time.
fs::file_time_type FileTime(uint16_t date, uint16_t time) {
    // Days since 1970 of the civil date (proleptic Gregorian calendar).
    const int64_t month = (date >> 5) & 15, day = date & 31;
    const int64_t year = 1980 + (date >> 9) - (month <= 2 ? 1 : 0);  // years from March on
    const int64_t era = year / 400, yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    const int64_t seconds = days * 86400 + (time >> 11) * 3600 + ((time >> 5) & 63) * 60 + (time & 31) * 2;
    // The file clock's epoch differs between libraries; go through now.
    auto since = std::chrono::seconds(seconds) - std::chrono::duration_cast<std::chrono::seconds>(
                                                     std::chrono::system_clock::now().time_since_epoch());
    return fs::file_time_type::clock::now() + std::chrono::duration_cast<fs::file_time_type::duration>(since);
}

// Writes each file below a folder, with its time from the cabinet.
class FileSink : public EntrySink {
public:
    explicit FileSink(const fs::path& folder) : folder_(folder) {}
    std::string Begin(const CabinetEntry& entry) override {
        path_ = Below(folder_, entry.name);
        std::error_code error;
        fs::create_directories(path_.parent_path(), error);
        out_.open(path_, std::ios::binary | std::ios::trunc);
        return out_ ? std::string() : Failed();
    }
    std::string Write(const unsigned char* bytes, size_t size) override {
        if (Interrupted()) return "interrupted";
        out_.write(reinterpret_cast<const char*>(bytes), std::streamsize(size));
        return out_ ? std::string() : Failed();
    }
    std::string End(const CabinetEntry& entry) override {
        out_.close();
        if (!out_) return Failed();
        std::error_code error;
        fs::last_write_time(path_, FileTime(entry.date, entry.time), error);
        return std::string();
    }
    // What could not be written, or an empty string.
    const std::string& problem() const { return problem_; }

private:
    std::string Failed() {
        problem_ = "cannot write " + path_.u8string();
        return problem_;
    }

    fs::path folder_, path_;
    std::ofstream out_;
    std::string problem_;
};

// Moves everything below from into to, folder by folder, never over a file
// that is there; moved collects what it moved, for undoing.
bool MoveInto(const fs::path& from, const fs::path& to, std::vector<fs::path>& moved) {
    std::error_code error;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        const fs::path target = to / it->path().filename();
        fs::file_status there = fs::symlink_status(target, error);
        if (!fs::exists(there)) {
            fs::rename(it->path(), target, error);
            if (error) return false;
            moved.push_back(target);
        } else if (fs::is_directory(there) && it->is_directory()) {
            if (!MoveInto(it->path(), target, moved)) return false;
        } else {
            return false;
        }
    }
    return !error;
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

int Build(const BuildOptions& options) {
    std::string stubPath = options.stub;
    fs::path out = fs::u8path(options.out);
    std::error_code missing;
    if (!fs::is_directory(fs::absolute(out, missing).parent_path(), missing))
        return Fail(options.out + ": no such folder to write the package into");
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
    std::string stub = ReadWhole(stubPath, readable);
    if (!readable) return Fail(stubPath + ": cannot read the stub");
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
        return problem.empty() ? 0 : Fail(problem);
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
    std::printf("packed %zu file%s (%s) into %s: %s, cabinet %s (%s), XXH64 %s\n", collected.files.size(),
                collected.files.size() == 1 ? "" : "s", HumanSize(total).c_str(), options.out.c_str(),
                HumanSize(written.fileBytes).c_str(), HumanSize(written.cabinetBytes).c_str(),
                compress ? "MSZIP" : "stored", DigestText(written.digest).c_str());
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

int Inspect(const InspectOptions& options) {
    const std::string& package = options.package;
    FileSource file(package);
    if (!file.Open()) return Fail("cannot read " + package);
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
    if (!file.Open()) return Fail("cannot read " + package + "; nothing extracted");
    PackageLayout layout;
    CabinetTable table;
    std::string problem = ReadPackage(file, layout, table);
    if (!problem.empty()) return Fail(package + ": " + problem + "; nothing extracted");

    std::error_code error;
    fs::path folder = fs::absolute(fs::u8path(folderName), error).lexically_normal();
    if (error) return Fail(folderName + ": " + error.message());
    if (!folder.has_filename()) folder = folder.parent_path();  // "unpacked/"
    if (fs::exists(folder, error) && !fs::is_directory(folder, error))
        return Fail(folderName + ": not a folder; nothing extracted");
    // Nothing there is replaced: a file of the package's already there, or a
    // file where the package has a folder, is refused before writing.
    for (const CabinetEntry& entry : table.entries) {
        fs::path target = Below(folder, entry.name);
        for (fs::path part = target; part != folder && part.has_relative_path(); part = part.parent_path()) {
            fs::file_status status = fs::symlink_status(part, error);
            if (!fs::exists(status)) continue;
            if (part == target || !fs::is_directory(status))
                return Fail(folderName + " already holds " + fs::relative(part, folder, error).u8string() +
                            ", which extract would replace; nothing extracted");
        }
    }
    // The sizes come from the cabinet's own tables, checked against each other.
    const uint64_t needed = table.FileBytes();
    fs::path existing = folder;
    while (!fs::exists(existing, error) && existing.has_relative_path()) existing = existing.parent_path();
    fs::space_info space = fs::space(existing, error);
    if (!error && space.available < needed)
        return Fail(folderName + ": the files need " + std::to_string(needed) + " bytes (" + HumanSize(needed) +
                    "), the file system there has " + std::to_string(space.available) + " bytes (" +
                    HumanSize(space.available) + ") free; nothing extracted");

    fs::create_directories(folder.parent_path(), error);
    StagingFolder staging(folder);
    if (!staging.Created()) return Fail("cannot make a folder beside " + folderName + "; nothing extracted");
    PayloadSource cabinet(file, layout.payloadOffset);
    FileSink sink(staging.path());
    {
        Progress progress("unpacking", needed);
        ProgressSink counted(sink, progress);
        problem = ReadCabinetData(cabinet, table, counted);
    }
    if (!sink.problem().empty()) return Fail(sink.problem() + "; nothing extracted");
    if (!problem.empty()) return Fail(package + ": damaged cabinet: " + problem + "; nothing extracted");

    if (Interrupted()) return Fail("interrupted");
    std::vector<fs::path> moved;
    if (!fs::exists(folder, error)) {
        fs::rename(staging.path(), folder, error);
        if (error) return Fail("cannot move the files into " + folderName + ": " + error.message() + "; nothing extracted");
    } else if (!MoveInto(staging.path(), folder, moved)) {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) fs::remove_all(*it, error);
        return Fail("cannot move the files into " + folderName + "; nothing extracted");
    }
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
