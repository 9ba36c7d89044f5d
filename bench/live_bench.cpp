// Live jobs against the simulated meter paced at 9600 baud: how long one job of 18 readings
// takes next to what the line and the protocol's own pauses allow, and how much CPU the
// program spends per second of live polling. The meter runs in a child process so that its
// CPU time is not counted as the program's.
//
// usage: live_bench [jobs (15)] [polling seconds (10)]

#include <cstdio>

#ifdef _WIN32

int main() {
    std::fprintf(stderr, "live_bench needs pseudo-terminals (Linux and other POSIX systems)\n");
    return 1;
}

#else

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/console_dialogs.h"
#include "bench/process_stats.h"
#include "link/meter_protocol.h"
#include "link/workers.h"
#include "sim/meter_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

using lumo::bench::processCpuSeconds;

// One exchange on an ideal 9600-baud line whose meter answers with `replyBytes` bytes as soon
// as the request is through, every pause taking exactly as long as asked and reads costing
// nothing. In milliseconds.
double protocolModelMs(int replyBytes) {
    namespace m = lumo::meter;
    const double b = lumo::sim::ByteSeconds * 1000;
    auto arrives = [&](int k) { return 16 * b + (k + 1) * b; };  // reply byte k is readable
    double t = Ms(m::AfterWrite).count();
    for (int i = 0; i < m::FirstByteTries; ++i) {
        t += Ms(m::FirstByteTry).count();
        if (t >= arrives(0)) break;
    }
    int stored = 1;
    for (;;) {
        if (stored < replyBytes && t >= arrives(stored)) {
            ++stored;
            continue;
        }
        if (stored >= static_cast<int>(m::GapRuleSize)) break;
        t += Ms(m::Gap).count();
        if (stored < replyBytes && t >= arrives(stored)) {
            ++stored;
            continue;
        }
        t += Ms(m::AfterGap).count();
        break;
    }
    return t;
}

struct MeterProcess {
    pid_t pid = -1;
    int control = -1;  // the child serves until this is closed
    std::string device;
};

// Serves a paced meter in a child process (started before any thread of ours).
MeterProcess startMeter() {
    int path[2], control[2];
    if (::pipe(path) != 0 || ::pipe(control) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(path[0]);
        ::close(control[1]);
        lumo::sim::MeterConfig config;
        config.paced = true;
        lumo::sim::MeterServer meter(config);
        const std::string line = meter.devicePath() + "\n";
        (void)!::write(path[1], line.data(), line.size());
        char c;
        while (::read(control[0], &c, 1) > 0) {
        }
        meter.stop();
        ::_exit(0);
    }
    MeterProcess p{pid, control[1], {}};
    ::close(path[1]);
    ::close(control[0]);
    char c;
    while (::read(path[0], &c, 1) == 1 && c != '\n') p.device += c;
    ::close(path[0]);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const int jobs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;

    const MeterProcess meter = startMeter();

    lumo::bench::ConsoleDialogs dialogs;
    lumo::SerialPort port(dialogs);
    if (!port.OpenPort(meter.device)) return 1;
    lumo::ReadingsStore store;
    lumo::TTekCom tek(port, store, dialogs);

    // Back-to-back jobs.
    std::vector<double> times;
    for (int i = 0; i < jobs; ++i) {
        const auto t0 = Clock::now();
        tek.Resume();
        if (!tek.waitForJobs(static_cast<std::uint64_t>(i + 1), std::chrono::seconds(30))) {
            std::fprintf(stderr, "job %d did not end\n", i + 1);
            return 1;
        }
        times.push_back(Ms(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];

    const double lineExchangeMs = 32 * lumo::sim::ByteSeconds * 1000;
    const double lineJob = 18 * lineExchangeMs;
    const double modelJob = 18 * protocolModelMs(16);

    std::printf("live job, 18 readings, meter paced at 9600 baud (%d jobs)\n", jobs);
    std::printf("  median job time           %8.1f ms   (min %.1f, max %.1f)\n", median, times.front(),
                times.back());
    std::printf("  line-time floor           %8.1f ms   (18 x (16 + 16) bytes x 10 / 9600 s)\n", lineJob);
    std::printf("  with exact pauses         %8.1f ms   (the pauses add %.1f ms an exchange)\n", modelJob,
                (modelJob - lineJob) / 18);
    std::printf("  median / line floor       %8.2f\n", median / lineJob);
    std::printf("  median / exact pauses     %8.2f\n", median / modelJob);
    std::printf("  fits the 1 s tick         %8s\n", median < 1000 ? "yes" : "NO");
    std::printf("  reading shown for U of A  %8s\n", store.CurrentValues[1].get().c_str());

    // Single exchanges: the last reply byte comes 0.3 ms after the first 15 ms gap would end
    // with exact pauses, so a pause a little late, or a meter a little early, saves the
    // second gap. How often does it?
    lumo::meter::ReplyFields fields;
    std::vector<double> exchanges;
    for (int i = 0; i < 18 * jobs; ++i) {
        const auto t0 = Clock::now();
        lumo::meter::SendRequest(port, dialogs, fields, 'D', static_cast<std::uint32_t>(i % 18 + 1), 0);
        exchanges.push_back(Ms(Clock::now() - t0).count());
    }
    const double split = lineExchangeMs + Ms(lumo::meter::Gap).count() / 2;
    const auto oneGap = std::count_if(exchanges.begin(), exchanges.end(), [&](double t) { return t < split; });
    std::sort(exchanges.begin(), exchanges.end());
    std::printf("single exchanges (%zu)\n", exchanges.size());
    std::printf("  median exchange           %8.1f ms   (line time %.1f ms)\n",
                exchanges[exchanges.size() / 2], lineExchangeMs);
    std::printf("  done within one gap       %8.1f %%   (the rest took a second 15 ms gap)\n",
                100.0 * static_cast<double>(oneGap) / static_cast<double>(exchanges.size()));

    // Live polling as the window does it: one wake a second.
    const double cpu0 = processCpuSeconds();
    const auto start = Clock::now();
    const auto done0 = tek.JobsDone();
    for (int s = 0; s < seconds; ++s) {
        tek.Resume();
        std::this_thread::sleep_until(start + std::chrono::seconds(s + 1));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = processCpuSeconds() - cpu0;
    std::printf("live polling, one wake a second for %d s\n", seconds);
    std::printf("  jobs completed            %8llu\n",
                static_cast<unsigned long long>(tek.JobsDone() - done0));
    std::printf("  CPU per second of polling %8.2f ms   (%.2f %% of one core)\n", cpu / wall * 1000,
                cpu / wall * 100);

    tek.Shutdown();
    port.ClosePort();
    ::close(meter.control);
    int status = 0;
    ::waitpid(meter.pid, &status, 0);
    return 0;
}

#endif
