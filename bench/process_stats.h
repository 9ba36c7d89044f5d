#pragma once
// What the benchmarks read about their own process, on Linux and on Windows: processor time
// (the process's and the calling thread's), resident memory now and at its peak, the
// executable's path and the process id.

#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <psapi.h>
#include <process.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#include <ctime>
#include <filesystem>
#include <fstream>
#endif

namespace lumo::bench {

#ifdef _WIN32

inline double fileTimeSeconds(const FILETIME& f) {
    return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
}

inline double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}

inline double threadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    return (fileTimeSeconds(kernel) + fileTimeSeconds(user)) * 1e3;
}

inline double rssMiB() {
    PROCESS_MEMORY_COUNTERS c{};
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? static_cast<double>(c.WorkingSetSize) / 1048576.0 : 0;
}

// Windows keeps the peak since the process started; each measured step runs in a process of
// its own, so that is the step's peak.
inline double peakMiB() {
    PROCESS_MEMORY_COUNTERS c{};
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? static_cast<double>(c.PeakWorkingSetSize) / 1048576.0 : 0;
}
inline void resetPeak() {}

inline std::string selfPath() {
    char buf[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
}

inline long processId() { return static_cast<long>(_getpid()); }

#else

inline double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

inline double statusMiB(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
    return 0;
}
inline double rssMiB() { return statusMiB("VmRSS:"); }
inline double peakMiB() { return statusMiB("VmHWM:"); }
inline void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

inline std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

inline long processId() { return static_cast<long>(::getpid()); }

#endif

}  // namespace lumo::bench
