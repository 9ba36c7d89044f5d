#pragma once
// Replacing a file in one step: the new contents go to a hidden temporary file of a unique name
// beside the target (".~lumo-<random>.tmp"), which is flushed to disk and then renamed over the
// target. A reader sees the complete old file or the complete new one, never a part.

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace lumo {

// Raised when the file cannot be replaced; the target is then unchanged.
class FileReplaceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A path from UTF-8 text, and back; on Windows the wide form, so that names with Cyrillic
// letters reach the file system as they are.
std::filesystem::path pathFromUtf8(const std::string& utf8);
std::string pathToUtf8(const std::filesystem::path& path);

// Calls `write` with the temporary file's path (it creates the file's contents there), then
// flushes it and renames it over `target`, keeping the old file's permissions. When `write`
// raises, or any step fails, the temporary file is removed and the target stays as it was;
// `write`'s exception passes through, other failures raise FileReplaceError. A target that is
// write-protected (read-only for the user, or without any write permission) is refused before
// anything is written. Temporary files
// of ours older than a minute in that folder, left by a save that was killed, are removed first.
void replaceFile(const std::filesystem::path& target,
                 const std::function<void(const std::filesystem::path& temp)>& write);

// The same for contents held in memory.
void replaceFileWith(const std::filesystem::path& target, const std::string& contents);

// Whether replaceFile could replace the file: it is not write-protected and its folder takes
// new files. A missing file counts as writable when its folder is.
bool fileWritable(const std::string& utf8Path);

// The prefix and suffix of the temporary files, for finding leftovers of an interrupted save.
inline constexpr const char* TempFilePrefix = ".~lumo-";
inline constexpr const char* TempFileSuffix = ".tmp";

}  // namespace lumo
