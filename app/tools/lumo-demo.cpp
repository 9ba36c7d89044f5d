// lumo-demo: a short scripted run of the real windows, for machines without an operator.
// It starts the program's windows as UserLumo does (the settings file in the output folder,
// naming the port given), then polls the meter, creates a report with live rows, shows it,
// downloads the meter's memory into it and saves it. Message boxes are captured and answered
// with their default button; the save dialog is answered with DIR/report.xlsx. Screenshots
// of the window and the report viewer go to DIR.
//
//   lumo-demo --out DIR --port NAME
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/Userprog.h"
#include "app/window_style.h"
#include "app/qt_dialogs.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "automation/automation.h"

namespace {

// The program's dialogs, with the file dialogs answered by the script.
class DemoDialogs final : public lumo::OperatorDialogs {
public:
    DemoDialogs(lumo::QtOperatorDialogs& real, std::string reportPath)
        : real_(real), reportPath_(std::move(reportPath)) {}
    lumo::MessageResult message(const lumo::MessageRequest& r) override { return real_.message(r); }
    std::optional<std::string> openFileName(const lumo::FileDialogRequest&) override { return reportPath_; }
    std::optional<std::string> saveFileName(const lumo::FileDialogRequest&) override { return reportPath_; }
    void showException(const std::string& what) override { real_.showException(what); }
    void abandonWaiters() override { real_.abandonWaiters(); }

private:
    lumo::QtOperatorDialogs& real_;
    std::string reportPath_;
};

struct Step {
    int delayMs;
    std::function<bool()> run;  // false: try again after the delay
};

void grab(QWidget* w, const QString& path) {
    if (w && w->grab().save(path)) std::printf("demo: %s\n", qPrintable(path));
}

// The report viewer: the visible top-level window that is not the main window.
QWidget* viewerWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w != formLumo && !w->inherits("QDialog") && !w->inherits("QMenu"))
            return w;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("UserLumo");
    lumo::loadRussianTranslations(app);
    lumo::automation::ThreadApartment apartment;
    lumo::registerSpreadsheetApplication();

    QString out = "demo-out";
    QString port;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--out") out = args[++i];
        else if (args[i] == "--port") port = args[++i];
    }
    QDir().mkpath(out);
    const QDir dir(out);
    const std::string ini = dir.filePath("UserLumo.INI").toStdString();
    if (!port.isEmpty())
        lumo::writeProfileString(ini, lumo::SettingsSection, lumo::SettingsPortKey, port.toStdString());
    const std::string reportPath = dir.absoluteFilePath("report.xlsx").toStdString();
    QFile::remove(QString::fromStdString(reportPath));

    // Every message box is shown for a moment, captured, and answered with its default button.
    int boxes = 0;
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            grab(box, dir.filePath(QString("message-%1.png").arg(++boxes)));
            box->close();
        }
    });
    boxCloser.start(500);

    lumo::QtOperatorDialogs qtDialogs;
    DemoDialogs dialogs(qtDialogs, reportPath);
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ini};
    lumo::createWindows(context);
    qtDialogs.setParentWindow(formLumo);
    formLumo->show();
    TformLumo& w = *formLumo;

    std::vector<Step> steps = {
        {1000, [&] { grab(&w, dir.filePath("window-start.png")); return true; }},
        {200, [&] { lumo::ui::control<QPushButton>(w, "butGetTekData")->click(); return true; }},
        {3500, [&] { grab(&w, dir.filePath("window-live.png")); return true; }},
        {200, [&] { lumo::ui::control<QAction>(w, "Create")->trigger(); return true; }},
        {200, [&] { lumo::ui::control<QCheckBox>(w, "cbAddToReport")->setChecked(true); return true; }},
        {3200, [&] { lumo::ui::control<QPushButton>(w, "ButShow")->click(); return true; }},
        {1500, [&] { grab(viewerWindow(), dir.filePath("viewer-live.png")); return true; }},
        {200, [&] { lumo::ui::control<QPushButton>(w, "butReadMemory")->click(); return true; }},
        {1000, [&] { return !lumo::ui::control<QTimer>(w, "timerMem")->isActive(); }},  // until the download has ended
        {500, [&] {
             grab(&w, dir.filePath("window-memory.png"));
             grab(viewerWindow(), dir.filePath("viewer-memory.png"));
             return true;
         }},
        {200, [&] { lumo::ui::control<QAction>(w, "Save")->trigger(); return true; }},
        {500, [&] {
             std::printf("demo: %s (%d live rows, %d memory rows)\n", reportPath.c_str(),
                         w.reportState().LiveRow - 3, w.reportState().MemoryRow - 4);
             w.close();
             return true;
         }},
    };
    std::function<void(size_t)> runFrom = [&](size_t i) {
        if (i >= steps.size()) {
            QApplication::quit();
            return;
        }
        QTimer::singleShot(steps[i].delayMs, [&, i] { runFrom(steps[i].run() ? i + 1 : i); });
    };
    runFrom(0);
    QApplication::exec();
    qtDialogs.abandonWaiters();
    lumo::destroyWindows();
    return 0;
}
