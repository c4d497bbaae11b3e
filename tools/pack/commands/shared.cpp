#include "commands/shared.h"

#include <cstdio>
#include <filesystem>

#include "host.h"

namespace kesto::pack {

namespace fs = std::filesystem;

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
// The line that names the entry the launcher will start.
std::string EntryLine(const EntryPrediction& prediction) {
    if (prediction.entry.empty())
        return "entry: none: no *.bat, *.cmd or *.exe at the top of the package; the launcher can only\n"
               "       extract it (/ExtractOnlyMode:FOLDER)";
    return "entry: " + prediction.entry + " (the first " + prediction.pattern + " at the top of the package)";
}

std::vector<std::string> NamesOf(const std::vector<PackageFile>& files) {
    std::vector<std::string> names;
    for (const PackageFile& file : files) names.push_back(file.name);
    return names;
}

}  // namespace kesto::pack
