#pragma once
// The optional diagnostic log: UTF-16LE, a banner per opening, one
// time-stamped line per message. Every operation does nothing while no log is
// open, so no caller needs to know whether logging is on.
#include <string>

namespace kesto {

// Opens (or creates) the file, writes the byte-order mark into an empty file,
// the banner, and the line "LOG mode (name).". A file that cannot be opened
// leaves the run without a log.
void LogOpen(const std::wstring& fileName);

// Formats one message ("%s" a wide string, "%d" an int) and writes it as a line.
void LogMessage(const wchar_t* format, ...);

// Writes one line: the time prefix, the text and CR LF, under the log lock.
void LogLine(const wchar_t* text);

void LogClose();

}  // namespace kesto
