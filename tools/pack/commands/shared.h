#pragma once
// What the commands share: how they fail and warn, where kesto's installed
// files are, and the line that names a package's entry.
#include <string>
#include <vector>

#include "names.h"

namespace kesto::pack {

// Prints "kesto-pack: message" (or that the run was interrupted) and returns 1.
int Fail(const std::string& message);
void Warn(const std::string& message);

// A file of kesto's share/kesto/ (folder/name) where this program is
// installed or built, or an empty string; searched then names the places
// looked at.
std::string InstalledFile(const std::string& folder, const std::string& name, std::string& searched);

// The line that names the entry the launcher will start.
std::string EntryLine(const EntryPrediction& prediction);

std::vector<std::string> NamesOf(const std::vector<PackageFile>& files);

}  // namespace kesto::pack
