#include "common/clock.h"

#include <ctime>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/atomic_file.h"

namespace lumo {

namespace {

LocalDateTime fromTimeT(std::time_t t) {
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::optional<LocalDateTime> statModified(const std::string& path) {
#ifdef _WIN32
    // The wide call, so that a path with Cyrillic letters is found.
    struct _stat64 st {};
    if (::_wstat64(pathFromUtf8(path).c_str(), &st) != 0) return std::nullopt;
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
#endif
    return fromTimeT(static_cast<std::time_t>(st.st_mtime));
}

}  // namespace

LocalDateTime SystemClock::now() const { return fromTimeT(std::time(nullptr)); }

std::optional<LocalDateTime> SystemClock::fileModified(const std::string& path) const {
    return statModified(path);
}

std::int64_t sinceBootMs() {
#ifdef _WIN32
    // Includes the time spent asleep or hibernating (QueryUnbiasedInterruptTime is the one that
    // leaves it out): https://learn.microsoft.com/en-us/windows/win32/api/sysinfoapi/nf-sysinfoapi-gettickcount64
    return static_cast<std::int64_t>(::GetTickCount64());
#else
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#endif
}

std::optional<LocalDateTime> PinnedClock::fileModified(const std::string& path) const {
    if (fileDate_) return fileDate_;
    return statModified(path);
}

}  // namespace lumo
