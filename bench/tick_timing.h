#pragma once
// Timing the real main window's live tick for the benchmarks: the tick itself, and with what
// it leaves for the event loop (repaints), in wall time and in the window thread's processor
// time; and the median, 99th percentile and worst of a run.

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <vector>

#include "app/Userprog.h"
#include "bench/process_stats.h"

namespace lumo::bench {

struct Figures {
    double median, p99, worst;
};

inline Figures figures(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
    return {at(0.5), at(0.99), v.back()};
}

struct TickTimes {
    double tickMs;  // the tick alone, wall time
    double wallMs;  // the tick and the events it posted, wall time
    double cpuMs;   // the same in the window thread's processor time
};

// One live tick of the window, then the events it left (updates, painting).
inline TickTimes timeTick(TformLumo& w) {
    QElapsedTimer t;
    t.start();
    const double cpu0 = threadCpuMs();
    w.timerPeriodTimer();
    const double tick = static_cast<double>(t.nsecsElapsed()) / 1e6;
    QApplication::sendPostedEvents();
    QApplication::processEvents();
    QApplication::processEvents();
    return {tick, static_cast<double>(t.nsecsElapsed()) / 1e6, threadCpuMs() - cpu0};
}

}  // namespace lumo::bench
