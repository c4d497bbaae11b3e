#pragma once
// Opening a file to write in a folder the launcher did not make itself (the
// log, MyData.cab in an extract-only folder), where anyone who may write
// there could have put a link.
#include <windows.h>

#include <string>

#include "platform/handles.h"

namespace kesto {

// Opens or creates path (OPEN_ALWAYS: an existing file is not truncated) and
// keeps it only when it is a file on disk with one name and no reparse
// point, reached through no link: the final paths of its folder, checked
// before the file is created, and of the file itself are the path given.
// Pipes, mailslots and device names are refused before anything is opened.
// existed tells whether the file was there before. On refusal the owner
// holds nothing; a file that a race let it create before a check failed is
// left as it was made, empty.
bool OpenGuardedFile(const std::wstring& path, DWORD access, SECURITY_ATTRIBUTES* attributes, UniqueFile& file,
                     bool& existed);

}  // namespace kesto
