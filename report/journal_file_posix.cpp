#include "report/journal_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumo::journal_io {

Handle lockExclusive(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return NoHandle;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return NoHandle;
    }
    return fd;
}

Handle openAppend(const std::filesystem::path& path, bool truncate) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0600);
    return fd < 0 ? NoHandle : fd;
}

bool writeAll(Handle h, const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(static_cast<int>(h), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::int64_t fileSize(Handle h) {
    struct stat st {};
    return ::fstat(static_cast<int>(h), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool truncateTo(Handle h, std::uint64_t size) {
    return ::ftruncate(static_cast<int>(h), static_cast<off_t>(size)) == 0;
}

Handle duplicate(Handle h) {
    int fd = ::fcntl(static_cast<int>(h), F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? NoHandle : fd;
}

bool syncData(Handle h) {
#ifdef __APPLE__
    return ::fsync(static_cast<int>(h)) == 0;
#else
    return ::fdatasync(static_cast<int>(h)) == 0;
#endif
}

void closeHandle(Handle h) {
    if (h != NoHandle) ::close(static_cast<int>(h));
}

}  // namespace lumo::journal_io
