#pragma once

namespace kesto {

// Copies the payload out of the launcher's own file into the work folder as
// "MyData.cab", complementing every byte back. True only when the marker was
// found and every byte behind it was read and written.
bool PartialCopy();

}  // namespace kesto
