#include "commands/inspect.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cabinet/cabinet_reader.h"
#include "commands/shared.h"
#include "host.h"
#include "identity/package_identity.h"
#include "names.h"
#include "package/read_package.h"
#include "progress.h"

namespace kesto::pack {

namespace {

// Each file's SHA-256, by its name (a package that reads back has no two the same).
class Sha256Sink : public EntrySink {
public:
    std::string Begin(const CabinetEntry&) override {
        hash_ = std::make_unique<Sha256>();
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

}  // namespace

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

}  // namespace kesto::pack
