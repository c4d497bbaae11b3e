#pragma once
// printf-style formatting of the launcher's messages, done here rather than by
// the C runtime so that "%s" means a wide string on every runtime.
#include <cstdarg>
#include <cstddef>
#include <string>

namespace kesto {

// Conversions: "%s" a wide string (its control characters and unpaired
// surrogates written as \uXXXX, so that a value cannot break the line or the
// log's UTF-16), "%d" a signed 32-bit integer with
// an optional '0' flag and width ("%04d"), "%%" a percent sign. Anything else
// is copied as it stands. Writes at most capacity - 1 characters and a
// terminator when out is not null, and returns the length of the whole text.
size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...);

}  // namespace kesto
