#include "report/journal_file.h"

#include <windows.h>

namespace lumo::journal_io {

namespace {

HANDLE native(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle wrap(HANDLE h) { return h == INVALID_HANDLE_VALUE ? NoHandle : reinterpret_cast<Handle>(h); }

}  // namespace

Handle lockExclusive(const std::filesystem::path& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoHandle;
    OVERLAPPED at{};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        ::CloseHandle(h);
        return NoHandle;
    }
    return wrap(h);
}

Handle openAppend(const std::filesystem::path& path, bool truncate) {
    // GENERIC_WRITE, which FlushFileBuffers needs; the one writer appends from the end.
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, truncate ? CREATE_ALWAYS : OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return NoHandle;
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(h, zero, nullptr, FILE_END);
    return wrap(h);
}

bool writeAll(Handle h, const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left), done = 0;
        if (!::WriteFile(native(h), p, chunk, &done, nullptr) || done == 0) return false;
        p += done;
        left -= done;
    }
    return true;
}

std::int64_t fileSize(Handle h) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(native(h), &size) ? static_cast<std::int64_t>(size.QuadPart) : -1;
}

bool truncateTo(Handle h, std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(native(h), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(native(h))) return false;
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(native(h), zero, nullptr, FILE_END) != 0;
}

Handle duplicate(Handle h) {
    HANDLE dup = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), native(h), ::GetCurrentProcess(), &dup, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return NoHandle;
    return wrap(dup);
}

bool syncData(Handle h) { return ::FlushFileBuffers(native(h)) != 0; }

void closeHandle(Handle h) {
    if (h != NoHandle) ::CloseHandle(native(h));
}

}  // namespace lumo::journal_io
