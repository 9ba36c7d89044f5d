// The program's parts under kill -9, driven by scripts/soak-save. Modes:
//   soak_driver_qt make <report.xlsx> <rows>        a new report with <rows> live rows, saved
//   soak_driver_qt save <report.xlsx> <rows> <gen>  opens it, adds <rows> rows whose first
//                                                   reading is <gen>, prints "saving", saves in
//                                                   place, prints "saved"
//   soak_driver_qt poll <port> <state folder>       the real windows: a new report, rows added
//                                                   every tick; prints "rows <n> <ms>" (steady
//                                                   clock) whenever the live sheet grows
//   soak_driver_qt recover <port> <state folder>    the next start: Yes to the journal's question,
//                                                   prints "recovered <n>", then closes the report
//                                                   without saving (the journal goes)
// Every message box is printed as "message: <text>".
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Userprog.h"
#include "app/startup.h"
#include "app/window_style.h"
#include "common/readings.h"
#include "report/report.h"
#include "spreadsheet/engine.h"

namespace {

class DriverDialogs : public lumo::OperatorDialogs {
public:
    std::optional<std::string> saveAs;
    lumo::MessageResult message(const lumo::MessageRequest& r) override {
        std::printf("message: %s\n", r.text.c_str());
        std::fflush(stdout);
        if (r.buttons != lumo::MessageButtons::YesNo) return lumo::MessageResult::Ok;
        // Yes to the journal's question, No to the save question.
        return r.text.rfind("Найден журнал", 0) == 0 ? lumo::MessageResult::Yes : lumo::MessageResult::No;
    }
    std::optional<std::string> openFileName(const lumo::FileDialogRequest&) override { return {}; }
    std::optional<std::string> saveFileName(const lumo::FileDialogRequest&) override {
        auto name = saveAs;
        saveAs.reset();
        return name;
    }
    void showException(const std::string& what) override { std::printf("exception: %s\n", what.c_str()); }
};

struct NoView : lumo::ReportView {
    void setReportName(const std::string&) override {}
    void setReportDate(const std::string&) override {}
    void setShowButton(bool, const std::string&) override {}
    void setMemoryButtonEnabled(bool) override {}
    std::string shortDate(const lumo::LocalDateTime&) override { return {}; }
};

void addRows(lumo::Report& report, int rows, int generation) {
    std::vector<std::string> readings(lumo::ReadingCount, "230,5");
    readings[0] = std::to_string(generation);
    for (int i = 0; i < rows; ++i) report.AppendLiveRow(readings);
}

int workbookMode(const std::string& mode, const std::string& path, int rows, int generation) {
    lumo::spreadsheet::registerBuiltInEngine();
    lumo::ReportState state;
    DriverDialogs dialogs;
    lumo::SystemClock clock;
    NoView view;
    lumo::Report report(state, dialogs, clock, view);
    if (mode == "make") {
        report.CreateReport();
        addRows(report, rows, 0);
        dialogs.saveAs = path;
    } else {
        report.OpenReport(path);
        if (!state.ReportOpen) return 1;
        addRows(report, rows, generation);
        std::printf("saving\n");
        std::fflush(stdout);
    }
    report.Save();
    std::printf(state.ReportSaved ? "saved\n" : "not saved\n");
    std::fflush(stdout);
    return state.ReportSaved ? 0 : 3;
}

int windowMode(int argc, char** argv, const std::string& mode, const std::string& port,
               const std::string& stateFolder) {
    QApplication app(argc, argv);
    lumo::spreadsheet::registerBuiltInEngine();
    DriverDialogs dialogs;
    lumo::SystemClock clock;
    const std::string ini = stateFolder + "/UserLumo.INI";
    std::FILE* f = std::fopen(ini.c_str(), "w");
    if (!f) return 1;
    std::fprintf(f, "[Main]\nCOM=%s\n", port.c_str());
    std::fclose(f);
    AppContext context(dialogs, clock, ini, stateFolder);
    lumo::createWindows(context);  // offers the journal back
    TformLumo& w = *formLumo;
    if (mode == "recover") {
        std::printf("recovered %d\n", w.reportState().ReportOpen ? w.reportState().LiveRow - 3 : 0);
        std::fflush(stdout);
        w.CloseClick();  // No: the recovered rows are thrown away with the journal
        lumo::destroyWindows();
        return 0;
    }
    lumo::ui::control<QAction>(w, "Create")->trigger();
    lumo::ui::control<QCheckBox>(w, "cbAddToReport")->setChecked(true);
    lumo::ui::control<QPushButton>(w, "butGetTekData")->click();
    std::int32_t shown = w.reportState().LiveRow;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w.reportState().LiveRow == shown) return;
        shown = w.reportState().LiveRow;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
        std::printf("rows %d %lld\n", shown - 3, static_cast<long long>(ms));
        std::fflush(stdout);
    });
    watch.start(20);
    return QApplication::exec();  // until killed
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "make" && argc == 4) || (mode == "save" && argc == 5))
        return workbookMode(mode, argv[2], std::atoi(argv[3]), mode == "save" ? std::atoi(argv[4]) : 0);
    if ((mode == "poll" || mode == "recover") && argc == 4) return windowMode(argc, argv, mode, argv[2], argv[3]);
    std::fprintf(stderr, "usage: soak_driver_qt make|save <report.xlsx> <rows> [gen] | poll|recover <port> <state folder>\n");
    return 2;
}
