#include "common/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lumo {

namespace fs = std::filesystem;

fs::path pathFromUtf8(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string pathToUtf8(const fs::path& path) {
    std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

namespace {

[[noreturn]] void fail(const std::string& what) { throw FileReplaceError(what); }

#ifdef _WIN32
// Creates the file only when no file has that name.
bool createNew(const fs::path& p) {
    HANDLE h = ::CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ::GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EIO;
        return false;
    }
    ::CloseHandle(h);
    return true;
}

void flushToDisk(const fs::path& p) {
    HANDLE h = ::CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("cannot open " + pathToUtf8(p));
    bool ok = ::FlushFileBuffers(h) != 0;
    ::CloseHandle(h);
    if (!ok) fail("cannot flush " + pathToUtf8(p));
}

// Windows refuses to replace a file while anyone has it open (another copy of the program
// reading it, a virus scanner); such a hold lasts moments, so the rename is tried again for up
// to a second before it counts as failed.
void renameOver(const fs::path& from, const fs::path& to) {
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 100)
            fail("cannot replace " + pathToUtf8(to) + " (error " + std::to_string(error) + ")");
        ::Sleep(10);
    }
}

void flushFolder(const fs::path&) {}

// A file the user made read-only is not replaced: the rename would go through regardless.
bool writeProtected(const fs::path& p) {
    const DWORD attributes = ::GetFileAttributesW(p.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}
#else
bool createNew(const fs::path& p) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void flushToDisk(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + p.string());
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) fail("cannot flush " + p.string());
}

void renameOver(const fs::path& from, const fs::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) fail("cannot replace " + to.string());
}

// A file the user may not write, or one without any write permission (which the superuser
// could write all the same), is not replaced: a rename over it would ignore the protection.
bool writeProtected(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return false;
    return ::access(p.c_str(), W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// The rename itself reaches the disk once the folder is flushed.
void flushFolder(const fs::path& folder) {
    int dir = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}
#endif

// A new empty file beside the target that nobody else uses.
fs::path createTempBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 20; ++attempt) {
        fs::path tmp = target.parent_path() /
                       (std::string(TempFilePrefix) + std::to_string(rd()) + "-" +
                        std::to_string(counter++) + TempFileSuffix);
        if (createNew(tmp)) return tmp;
        if (errno != EEXIST) break;
    }
    fail("cannot create a file in " + pathToUtf8(target.parent_path()));
}

// Temporary files of saves that were killed half-way: ours by their name, and old enough that
// no save still running (in this or another copy of the program) can be writing them.
void removeLeftovers(const fs::path& folder) {
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(1);
    const std::string prefix = TempFilePrefix, suffix = TempFileSuffix;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = pathToUtf8(it->path().filename());
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::error_code e;
        if (!it->is_regular_file(e) || e) continue;
        const auto written = fs::last_write_time(it->path(), e);
        if (!e && written < cutoff) fs::remove(it->path(), e);
    }
}

}  // namespace

void replaceFile(const fs::path& targetIn, const std::function<void(const fs::path&)>& write) {
    std::error_code ec;
    const fs::path target = fs::absolute(targetIn, ec);
    if (ec) fail("bad path: " + pathToUtf8(targetIn));
    if (!fs::is_directory(target.parent_path(), ec)) fail("no such folder: " + pathToUtf8(target.parent_path()));
    if (fs::is_directory(target, ec)) fail("a folder has that name: " + pathToUtf8(target));
    if (writeProtected(target)) fail("the file is write-protected: " + pathToUtf8(target));

    removeLeftovers(target.parent_path());
    const fs::path tmp = createTempBeside(target);
    try {
        write(tmp);
        flushToDisk(tmp);
        // The new file keeps the permissions of the one it replaces.
        auto old = fs::status(target, ec);
        if (!ec && fs::exists(old)) fs::permissions(tmp, old.permissions(), ec);
        renameOver(tmp, target);
    } catch (...) {
        fs::remove(tmp, ec);
        throw;
    }
    flushFolder(target.parent_path());
}

bool fileWritable(const std::string& utf8Path) {
    std::error_code ec;
    const fs::path target = fs::absolute(pathFromUtf8(utf8Path), ec);
    if (ec || writeProtected(target)) return false;
#ifdef _WIN32
    const DWORD attributes = ::GetFileAttributesW(target.parent_path().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
    return ::access(target.parent_path().c_str(), W_OK | X_OK) == 0;
#endif
}

void replaceFileWith(const fs::path& target, const std::string& contents) {
    replaceFile(target, [&](const fs::path& temp) {
#ifdef _WIN32
        std::FILE* f = ::_wfopen(temp.c_str(), L"wb");
#else
        std::FILE* f = std::fopen(temp.c_str(), "wb");
#endif
        if (!f) fail("cannot write " + pathToUtf8(temp));
        bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
        ok = std::fclose(f) == 0 && ok;
        if (!ok) fail("cannot write " + pathToUtf8(temp));
    });
}

}  // namespace lumo
