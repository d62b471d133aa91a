// Replacing a file whole: readers see the old or the new bytes, never a part.
#pragma once

#include <filesystem>
#include <string_view>

namespace talkweft::platform {

// Writes `bytes` to a hidden temporary file beside `file` (".tmp-XXXXXX", so no one takes it for the
// file itself, and short, so any name that fits the folder leaves room for it), gives it `mode`,
// flushes it to the disk and renames it over `file`. Throws std::system_error with the system's
// error on failure, leaving `file` as it was and no temporary file behind.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, unsigned mode);

}  // namespace talkweft::platform
