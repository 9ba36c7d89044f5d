#pragma once
// The few file operations of the report journal that differ between systems: a lock that a
// running program holds on its journal's name, and a file that is appended to and flushed to
// disk. Handles are plain integers (a descriptor, or a HANDLE on Windows); -1 is none.

#include <cstdint>
#include <filesystem>
#include <string>

namespace lumo::journal_io {

using Handle = std::intptr_t;
inline constexpr Handle NoHandle = -1;

// Opens (creating it) the lock file and locks it without waiting. NoHandle when another process
// holds the lock or the file cannot be made. The lock lasts until the handle is closed.
Handle lockExclusive(const std::filesystem::path& path);

// Opens the file for appending, created when missing, emptied first when `truncate`.
Handle openAppend(const std::filesystem::path& path, bool truncate);
bool writeAll(Handle h, const std::string& bytes);
// The file's size now; -1 when it cannot be told.
std::int64_t fileSize(Handle h);
// Cuts the file back to `size` bytes (the part of a record that a failed write left).
bool truncateTo(Handle h, std::uint64_t size);
// A second handle on the same open file, so that one thread can flush while another appends.
Handle duplicate(Handle h);
// The file's data on the disk (fdatasync / FlushFileBuffers).
bool syncData(Handle h);
void closeHandle(Handle h);

}  // namespace lumo::journal_io
