// Window soaks: the real main window on Qt's offscreen platform against the simulated meter on
// a pseudo-terminal, many times over.
//
//   soak_window_qt hangup [cycles (1000)]
//       Each cycle starts the window, starts live polling and has the meter hang up in the
//       middle of an exchange (after a reply, or while the worker waits for one). Each hang-up
//       must give exactly one message and a closed port. A 2 ms probe timer on the window's
//       thread measures the longest time the thread did not run its event loop.
//   soak_window_qt shutdown [cycles (1000)]
//       Each cycle starts the window, polls, creates a report, starts a memory download and
//       closes the window while an exchange is under way. Meant to run under ThreadSanitizer
//       and AddressSanitizer (scripts/soak-shutdown).
// Both end by checking that the process is idle: no thread left over, no processor time used
// while nothing happens. Exit 1 on any failure.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

#include "app/Userprog.h"
#include "app/startup.h"
#include "bench/console_dialogs.h"
#include "common/clock.h"
#include "sim/meter_server.h"
#include "spreadsheet/engine.h"

namespace {

using namespace std::chrono_literals;

// Boxes are counted and answered at once (No to the save question).
class CountingDialogs : public lumo::bench::ConsoleDialogs {
public:
    lumo::MessageResult message(const lumo::MessageRequest& r) override {
        if (r.buttons == lumo::MessageButtons::YesNo) return lumo::MessageResult::No;
        ++errors;
        return lumo::MessageResult::Ok;
    }
    void showException(const std::string& what) override {
        std::fprintf(stderr, "exception: %s\n", what.c_str());
        ++exceptions;
    }
    std::atomic<int> errors{0}, exceptions{0};
};

int failures = 0;
int threadsAfterFirstCycle = 1 << 30;  // Qt starts some threads of its own on first use
void fail(const std::string& what) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++failures;
}

int threadCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

double cpuSeconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Measures how long the window's thread goes without running its event loop.
class Probe {
public:
    Probe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (measuring_) worstNs_ = std::max(worstNs_, now - lastNs_);
            lastNs_ = now;
        });
        clock_.start();
        timer_.start();
    }
    void measure(bool on) {
        measuring_ = on;
        lastNs_ = clock_.nsecsElapsed();
    }
    double worstMs() const { return static_cast<double>(worstNs_) / 1e6; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    bool measuring_ = false;
    qint64 lastNs_ = 0, worstNs_ = 0;
};

// Runs the event loop until `done` holds (looked at every 2 ms); false after `limit`.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check, expire;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    QObject::connect(&expire, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(2);
    expire.setSingleShot(true);
    expire.start(static_cast<int>(limit.count()));
    loop.exec();
    return done();
}

struct Window {
    Window(const std::string& device, CountingDialogs& dialogs, lumo::Clock& clock, const std::string& ini)
        : context{dialogs, clock, ini} {
        std::ofstream(ini) << "[Main]\nCOM=" << device << "\n";
        lumo::createWindows(context);
        w = formLumo;
        w->show();
    }
    ~Window() { lumo::destroyWindows(); }
    template <class T>
    T* find(const char* name) {
        T* child = w->findChild<T*>(name);
        if (!child) {
            std::fprintf(stderr, "no %s\n", name);
            std::exit(2);
        }
        return child;
    }
    AppContext context;
    TformLumo* w = nullptr;
};

void hangUps(int cycles, CountingDialogs& dialogs, lumo::Clock& clock, const std::string& ini) {
    Probe probe;
    int mid = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycle == 1) threadsAfterFirstCycle = threadCount();
        // The hang-up follows request k of the first live job; every other cycle the worker is
        // waiting for request k's reply when the line goes.
        lumo::sim::MeterConfig config;
        const int k = 1 + (cycle * 7) % 18;
        config.hangUpAfter = k;
        const bool waiting = cycle % 2;
        if (waiting) config.faults.push_back({.fault = lumo::sim::Fault::Silence, .command = 'D', .param = k, .limit = 1});
        lumo::sim::MeterServer meter(config);
        const int before = dialogs.errors;
        Window win(meter.devicePath(), dialogs, clock, ini);
        if (!win.w->serialPort().PortOpen()) fail("the port did not open");
        win.find<QTimer>("timerPeriod")->setInterval(10);
        probe.measure(true);
        win.find<QPushButton>("butGetTekData")->click();
        if (!runUntil([&] { return dialogs.errors > before && !win.w->serialPort().PortOpen(); }))
            fail("cycle " + std::to_string(cycle) + ": no message or the port still open");
        mid += waiting;
        // Two more jobs on the closed line: nothing more is said.
        const auto jobs = win.w->liveWorker().JobsDone();
        if (!runUntil([&] { return win.w->liveWorker().JobsDone() >= jobs + 2; }))
            fail("cycle " + std::to_string(cycle) + ": polling stopped");
        probe.measure(false);
        if (dialogs.errors != before + 1)
            fail("cycle " + std::to_string(cycle) + ": " + std::to_string(dialogs.errors - before) + " messages");
    }
    std::printf("hang-ups %d (%d while the worker waited for a reply), messages %d, exceptions %d\n", cycles,
                mid, dialogs.errors.load(), dialogs.exceptions.load());
    std::printf("window thread: longest time without its event loop %.1f ms (limit 100 ms)\n", probe.worstMs());
    if (probe.worstMs() > 100) fail("the window's thread was blocked too long");
}

void shutdowns(int cycles, CountingDialogs& dialogs, lumo::Clock& clock, const std::string& ini) {
    double worstCloseMs = 0;
    long downloadRequests = 0, midDownload = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycle == 1) threadsAfterFirstCycle = threadCount();
        lumo::sim::MeterConfig config;
        config.periods = 20;
        config.seed = static_cast<std::uint32_t>(cycle + 1);
        lumo::sim::MeterServer meter(config);
        Window win(meter.devicePath(), dialogs, clock, ini);
        win.find<QPushButton>("butGetTekData")->click();
        if (!runUntil([&] { return meter.requestCount() >= 5; })) fail("no polling");
        win.w->findChild<QAction*>("Create")->trigger();
        win.find<QPushButton>("butReadMemory")->click();
        const std::size_t polled = meter.requestCount();
        // Close while request `at` of the download is being answered. A meter slowed down by the
        // machine (a sanitizer, other work) may miss the replies' time and end the download early;
        // the window is closed then all the same.
        const std::size_t at = polled + 1 + static_cast<std::size_t>(cycle % 60);
        const auto& store = win.w->readings();
        if (!runUntil([&] { return meter.requestCount() >= at || !store.MemoryBusy.load(); }))
            fail("cycle " + std::to_string(cycle) + ": the download neither goes on nor ends");
        if (store.MemoryBusy.load()) ++midDownload;
        downloadRequests += static_cast<long>(meter.requestCount() - polled);
        QElapsedTimer t;
        t.start();
        win.w->close();
        worstCloseMs = std::max(worstCloseMs, static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::printf("shutdowns %d (%ld in the middle of a download), download requests before the close %ld, "
                "worst close %.1f ms, messages %d, exceptions %d\n",
                cycles, midDownload, downloadRequests, worstCloseMs, dialogs.errors.load(), dialogs.exceptions.load());
    if (dialogs.errors || dialogs.exceptions) fail("messages during the shutdown soak");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (mode != "hangup" && mode != "shutdown") {
        std::fprintf(stderr, "usage: soak_window_qt hangup|shutdown [cycles]\n");
        return 2;
    }
    const auto dir = std::filesystem::temp_directory_path() / ("lumo-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "UserLumo.INI").string();
    lumo::spreadsheet::registerBuiltInEngine();
    CountingDialogs dialogs;
    lumo::SystemClock clock;
    const auto started = std::chrono::steady_clock::now();

    if (mode == "hangup")
        hangUps(cycles, dialogs, clock, ini);
    else
        shutdowns(cycles, dialogs, clock, ini);

    // Idle afterwards: no thread of the cycles is left (the windows' workers, the meters) and
    // the window's thread spends nothing in a quiet second. The process figure includes the
    // threads of Qt and of a sanitizer's runtime.
    const double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID), own = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    {
        QEventLoop loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double processMs = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process) * 1e3;
    const double ownMs = (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - own) * 1e3;
    const int threadsAfter = threadCount();
    std::printf("afterwards: threads %d (after the first cycle %d); processor time in a quiet second: window's "
                "thread %.1f ms, process %.1f ms; run %.0f s\n",
                threadsAfter, threadsAfterFirstCycle, ownMs, processMs,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (threadsAfter > threadsAfterFirstCycle) fail("threads left over");
    if (ownMs > 20) fail("the window's thread is busy while idle");
    std::filesystem::remove_all(dir);
    std::printf("%s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
