// Live polling through the real main window with a big report open and its viewer shown: how
// long the window's thread spends in each live tick (the 18 labels, a report row of 20 cells,
// the viewer following the new row and painting). The meter is the simulator on a
// pseudo-terminal, paced at 9600 baud; the report is made first (the window's "Создать", rows
// written through the automation calls, saved) and then opened through "Открыть" as an
// operator would.
//
// usage: tick_bench_qt [--port NAME] [rows (1000000)] [ticks (60)]
// With --port the meter is the one on that port (on Windows, where the bench cannot start the
// simulator itself, the simulator on a port Wine maps to a pseudo-terminal).
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/Userprog.h"
#include "app/startup.h"
#include "bench/console_dialogs.h"
#include "bench/process_stats.h"
#include "bench/tick_timing.h"
#include "common/numtext.h"
#include "automation/automation.h"
#include "sim/meter_server.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/viewer_qt.h"

namespace {

using namespace lumo::automation;

// Boxes answered as ConsoleDialogs does; the open dialog chooses the bench's report.
class BenchDialogs : public lumo::bench::ConsoleDialogs {
public:
    std::string openPath;
    std::optional<std::string> openFileName(const lumo::FileDialogRequest&) override { return openPath; }
};

double seconds(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e9; }

// Rows 3 .. rows + 2 of the live sheet as the live tick writes them: date and time with their
// formats, 18 readings.
void fillLiveRows(const Handle& live, int rows) {
    std::vector<std::string> texts;
    for (int i = 0; i < 400; ++i) texts.push_back(lumo::formatGeneral(200 + i / 10.0));
    for (int r = 3; r < rows + 3; ++r) {
        const int s = r % 86400;
        Handle cell = propertyGet(live, "Cells", {r, 1});
        propertyPut(cell, "NumberFormat", "ДД.ММ.ГГГГ");
        propertyPut(cell, "Value", std::to_string(1 + r / 86400 % 28) + ".12.2026");
        cell = propertyGet(live, "Cells", {r, 2});
        propertyPut(cell, "NumberFormat", "ЧЧ:ММ:СС");
        propertyPut(cell, "Value", std::to_string(s / 3600) + ":" + std::to_string(s / 60 % 60) + ":" + std::to_string(s % 60));
        for (int n = 1; n <= 18; ++n)
            propertyPut(propertyGet(live, "Cells", {r, n + 2}), "Value", texts[static_cast<size_t>((r * 7 + n * 13) % 400)]);
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    qputenv("QT_QPA_PLATFORM", "offscreen");  // on Windows the real windows, drawn (under Wine on Xvfb)
#endif
    QApplication app(argc, argv);
    std::string port;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--port" && i + 1 < argc) port = argv[++i];
        else numbers.push_back(std::max(1, std::atoi(argv[i])));
    }
    const int rows = numbers.size() > 0 ? numbers[0] : 1000000;
    const int ticks = numbers.size() > 1 ? numbers[1] : 60;

#ifndef _WIN32
    std::optional<lumo::sim::MeterServer> meter;
    if (port.empty()) {
        lumo::sim::MeterConfig config;
        config.paced = true;
        port = meter.emplace(config).devicePath();
    }
#endif
    if (port.empty()) {
        std::fprintf(stderr, "tick_bench_qt: name the meter's port with --port\n");
        return 2;
    }

    const auto dir = std::filesystem::temp_directory_path() / ("lumo-tick-bench-" + std::to_string(lumo::bench::processId()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "UserLumo.INI").string();
    const std::string reportPath = (dir / "report.xlsx").string();
    std::ofstream(ini) << "[Main]\nCOM=" << port << "\n";

    lumo::registerSpreadsheetApplication();
    BenchDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ini};
    lumo::createWindows(context);
    TformLumo& w = *formLumo;
    auto action = [&](const char* name) { return w.findChild<QAction*>(name); };
    auto button = [&](const char* name) { return w.findChild<QPushButton*>(name); };

    // The report: laid out by "Создать", filled, saved, closed, then opened from its file.
    QElapsedTimer step;
    step.start();
    action("Create")->trigger();
    fillLiveRows(w.reportState().LiveSheet, rows);
    methodCall(w.reportState().ReportBook, "SaveAs", {reportPath});
    action("Close")->trigger();
    const double made = seconds(step);
    step.restart();
    dialogs.openPath = reportPath;
    action("Open")->trigger();
    const double opened = seconds(step);
    if (!w.reportState().ReportOpen || w.reportState().LiveRow != rows + 3) {
        std::fprintf(stderr, "the report did not open as expected (next row %d)\n", w.reportState().LiveRow);
        return 1;
    }
    button("ButShow")->click();
    QApplication::processEvents();
    lumo::spreadsheet::WorkbookWindow* viewer =
        lumo::spreadsheet::windowOf(lumo::spreadsheet::applicationOf(w.reportState().ExcelApp)->viewer());
    if (!viewer || !viewer->isVisible()) {
        std::fprintf(stderr, "the viewer is not shown\n");
        return 1;
    }

    // Live polling with rows going into the report; the bench drives the window's timer itself
    // so that each tick, and what it leaves for the event loop, can be timed.
    w.findChild<QCheckBox*>("cbAddToReport")->setChecked(true);
    button("butGetTekData")->click();
    auto* timer = w.findChild<QTimer*>("timerPeriod");
    timer->stop();
    std::vector<double> tickMs, tickCpuMs, afterMs;
    double firstMs = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        // The tick, and what it left for the event loop: the viewer's update of the new row,
        // painting.
        const lumo::bench::TickTimes t = lumo::bench::timeTick(w);
        // The first tick brings the viewer from the top of the sheet down to the new row: a
        // whole page painted once, timed apart.
        if (firstMs < 0) {
            firstMs = t.wallMs;
            return;
        }
        tickMs.push_back(t.wallMs);
        tickCpuMs.push_back(t.cpuMs);
        afterMs.push_back(t.wallMs - t.tickMs);
        if (static_cast<int>(tickMs.size()) == ticks) QApplication::quit();
    });
    ticker.start(1000);
    QApplication::exec();

    QTableView* view = viewer->view(0);
    const int rowsShown = viewer->model(0)->rowCount();
    const QRect lastWritten = view->visualRect(viewer->model(0)->index(w.reportState().LiveRow - 2, 2));
    const bool following = view->viewport()->rect().contains(lastWritten);
    using lumo::bench::figures;
    const lumo::bench::Figures wall = figures(tickMs), cpu = figures(tickCpuMs), after = figures(afterMs);
    std::printf("tick_bench_qt: %d-row report, viewer shown, %d live ticks (meter paced at 9600 baud)\n", rows, ticks);
    std::printf("report made and saved in %.1f s, opened through the window in %.1f s\n", made, opened);
    std::printf("%-44s %8s %8s %8s\n", "window thread per tick (ms)", "median", "p99", "worst");
    std::printf("%-44s %8.2f %8.2f %8.2f\n", "wall: tick + viewer update + paint", wall.median, wall.p99, wall.worst);
    std::printf("%-44s %8.2f %8.2f %8.2f\n", "  of it after the tick (viewer, paint)", after.median, after.p99, after.worst);
    std::printf("%-44s %8.2f %8.2f %8.2f\n", "thread CPU time", cpu.median, cpu.p99, cpu.worst);
#ifdef _WIN32
    std::printf("(Windows counts a thread's time in steps of its clock tick, 10 to 16 ms: read the wall figures)\n");
#endif
    std::printf("first tick (the viewer goes down to the new row): %.2f ms\n", firstMs);
    std::printf("rows written %d (next row %d), viewer rows %d, last row in sight: %s\n", w.reportState().LiveRow - rows - 3,
                w.reportState().LiveRow, rowsShown, following ? "yes" : "no");
    const auto slow = std::count_if(tickMs.begin(), tickMs.end(), [](double ms) { return ms >= 5; });
    std::printf("under 5 ms a tick: thread time p99 %s; wall p99 %s (%ld of %d ticks at 5 ms or more: wall time also\n"
                "counts the time the thread waited for a core on a busy machine)\n",
                cpu.p99 < 5 ? "met" : "MISSED", wall.p99 < 5 ? "met" : "missed", static_cast<long>(slow), ticks);

    timer->stop();
    lumo::destroyWindows();
    std::filesystem::remove_all(dir);
    return 0;
}
