// A full memory download of 99 periods (5,401 requests) through the real main window against
// the simulated meter paced at 9600 baud, with a report open on the built-in engine: how long
// the download takes next to the time the line itself needs, and how long the window's thread
// spends in each tick of the memory timer while it writes the rows into the report.
//
// usage: download_bench_qt [periods (99)]
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/Userprog.h"
#include "app/window_style.h"
#include "app/startup.h"
#include "bench/console_dialogs.h"
#include "sim/meter_model.h"
#include "sim/meter_server.h"
#include "spreadsheet/engine.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int periods = argc > 1 ? std::atoi(argv[1]) : 99;

    lumo::sim::MeterConfig config;
    config.periods = periods;
    config.paced = true;
    lumo::sim::MeterServer meter(config);

    const auto dir = std::filesystem::temp_directory_path() / "lumo-download-bench";
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "UserLumo.INI").string();
    std::ofstream(ini) << "[Main]\nCOM=" << meter.devicePath() << "\n";

    lumo::spreadsheet::registerBuiltInEngine();
    lumo::bench::ConsoleDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ini};
    lumo::createWindows(context);
    TformLumo& w = *formLumo;
    lumo::ui::control<QAction>(w, "Create")->trigger();

    // The memory timer is driven here, once a second, so that each tick can be timed.
    lumo::ui::control<QPushButton>(w, "butReadMemory")->click();
    lumo::ui::control<QTimer>(w, "timerMem")->stop();
    QElapsedTimer total;
    total.start();
    std::vector<double> tickMs;
    std::vector<int> rowsPerTick;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const int before = w.periodsWritten();
        QElapsedTimer t;
        t.start();
        const bool busy = w.readings().MemoryBusy.load();
        w.timerMemTimer();
        tickMs.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        rowsPerTick.push_back(w.periodsWritten() - before);
        if (!busy) QApplication::quit();
    });
    ticker.start(1000);
    QApplication::exec();
    const double seconds = static_cast<double>(total.nsecsElapsed()) / 1e9;

    // Each exchange: a 16-byte request and a 16-byte reply, 10 bits a byte at 9600 baud.
    const long requests = 1 + 54L * (periods + 1);
    const double floorSeconds = static_cast<double>(requests) * 32 * lumo::sim::ByteSeconds;
    std::sort(tickMs.begin(), tickMs.end());
    const double median = tickMs[tickMs.size() / 2];
    const double worst = tickMs.back();
    std::printf("periods %d, requests %ld (meter saw %zu), rows written %d\n", periods, requests,
                meter.requestCount(), w.periodsWritten());
    std::printf("download          %8.1f s (ticks of 1 s included)\n", seconds);
    std::printf("line-time floor   %8.1f s   ratio %.2f\n", floorSeconds, seconds / floorSeconds);
    std::printf("timerMemTimer     median %.2f ms, worst %.2f ms per tick, %zu ticks, at most %d rows a tick\n",
                median, worst, tickMs.size(), *std::max_element(rowsPerTick.begin(), rowsPerTick.end()));
    lumo::destroyWindows();
    std::filesystem::remove_all(dir);
    return 0;
}
