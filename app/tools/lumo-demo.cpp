// lumo-demo: a short scripted run of the real windows, for machines without an operator.
// It starts the program's windows as UserLumo does (the settings file in the output folder,
// naming the port given), then:
// - with the built-in spreadsheet engine (Linux): polls the meter, opens the vector diagram
//   window on it and then on a second simulated meter wired with a reversed current on phase B
//   (picked in the settings dialog and checked, as an operator would), creates a report with
//   live rows, shows it, downloads the meter's memory into it and saves it. Message boxes are
//   captured and answered with their default button; the save dialog is answered with
//   DIR/report.xlsx;
// - on Windows, where the report needs Excel: checks the windows on their own state (controls
//   found by their object names): the fixed size, the 18 live readings, the vector diagram
//   window following them, the settings check on the meter's port and on a missing one, "Создать" telling that the spreadsheet application
//   cannot be started, and the window working on afterwards. Each check prints one
//   "check: ok ..." or "check: FAILED ..." line; the exit code is 1 when one failed.
// Screenshots go to DIR: taken by the program itself, or with --wait-for-shots by the caller:
// the program prints "shot NAME" and goes on once DIR/NAME.png exists.
//
//   lumo-demo --out DIR --port NAME [--wait-for-shots]
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "app/Userprog.h"
#include "app/Usersett.h"
#include "app/diagram_window.h"
#include "app/window_style.h"
#include "app/qt_dialogs.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "automation/automation.h"
#include "common/messages.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/viewer_qt.h"
#ifndef _WIN32
#include "sim/meter_server.h"
#endif

namespace {

// The program's dialogs, with the file dialogs answered by the script.
class DemoDialogs final : public lumo::OperatorDialogs {
public:
    DemoDialogs(lumo::QtOperatorDialogs& real, std::string reportPath)
        : real_(real), reportPath_(std::move(reportPath)) {}
    lumo::MessageResult message(const lumo::MessageRequest& r) override { return real_.message(r); }
    std::optional<std::string> openFileName(const lumo::FileDialogRequest&) override { return reportPath_; }
    // The save dialog: the protocol's name when one is asked for, else the report's.
    std::optional<std::string> saveFileName(const lumo::FileDialogRequest& r) override {
        return r.defaultExtension == "pdf" ? protocolPath : reportPath_;
    }
    // The protocol's form, filled in as an engineer would.
    std::optional<std::vector<std::string>> askFields(const lumo::FieldsRequest&) override { return protocolFields; }
    void showException(const std::string& what) override { real_.showException(what); }
    void abandonWaiters() override { real_.abandonWaiters(); }

    std::string protocolPath;
    std::vector<std::string> protocolFields;

private:
    lumo::QtOperatorDialogs& real_;
    std::string reportPath_;
};

struct Step {
    int delayMs;
    std::function<bool()> run;  // false: try again after the delay
    const char* waitingFor = nullptr;  // what a step that tries again waits for
};

void grab(QWidget* w, const QString& path) {
    if (w && w->grab().save(path)) std::printf("demo: %s\n", qPrintable(path));
}

// The report viewer: the visible top-level window that is neither the main window nor the
// vector diagram.
QWidget* viewerWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w != formLumo && !w->inherits("QDialog") && !w->inherits("QMenu") &&
            !w->inherits("lumo::DiagramWindow"))
            return w;
    return nullptr;
}

// The vector diagram window, opened from the main window's menu item and showing the whole
// trend since polling began.
QWidget* openDiagram(TformLumo& w) {
    lumo::ui::control<QAction>(w, "Diagram")->trigger();
    QWidget* diagram = &w.diagramWindow();
    if (auto* span = diagram->findChild<QComboBox*>("cbSpan")) span->setCurrentIndex(span->count() - 1);
    return diagram;
}

// Runs the steps one after the other on the event loop; a step that waits gives up after a
// minute, which fails the run.
class StepRunner {
public:
    explicit StepRunner(std::vector<Step> steps) : steps_(std::move(steps)) {}
    void start() { schedule(0); }
    bool gaveUp() const { return gaveUp_; }

private:
    void schedule(size_t i) {
        if (i >= steps_.size()) {
            QApplication::quit();
            return;
        }
        QTimer::singleShot(steps_[i].delayMs, [this, i] {
            if (steps_[i].run()) {
                tries_ = 0;
                schedule(i + 1);
            } else if (++tries_ * steps_[i].delayMs > 60000) {
                std::printf("check: FAILED gave up waiting for %s\n",
                            steps_[i].waitingFor ? steps_[i].waitingFor : "a step");
                gaveUp_ = true;
                QApplication::quit();
            } else {
                schedule(i);
            }
        });
    }

    std::vector<Step> steps_;
    long tries_ = 0;
    bool gaveUp_ = false;
};

// Screenshots, taken by the program (QWidget::grab of the window named) or by the caller.
class Shots {
public:
    Shots(QDir dir, bool byCaller) : dir_(std::move(dir)), byCaller_(byCaller) {}
    // Two steps: ask for the shot, then wait until it is there.
    std::vector<Step> take(const QString& name, std::function<QWidget*()> window) {
        const QString path = dir_.filePath(name + ".png");
        const bool byCaller = byCaller_;
        return {{300, [=] {
                     if (!byCaller) grab(window(), path);
                     else {
                         QFile::remove(path);
                         if (QWidget* w = window()) w->repaint();  // on screen before the shot
                         std::printf("shot %s\n", qPrintable(name));
                         std::fflush(stdout);
                     }
                     return true;
                 }},
                {100, [=] { return !byCaller || QFile::exists(path); }, "a screenshot"}};
    }

private:
    QDir dir_;
    bool byCaller_;
};

int failures = 0;
[[maybe_unused]] void check(bool ok, const char* what) {
    std::printf("check: %s %s\n", ok ? "ok" : "FAILED", what);
    std::fflush(stdout);
    if (!ok) ++failures;
}

// Two steps: "Протокол…" in the diagram window, the form filled and the file named, then
// waiting until the PDF is written.
std::vector<Step> saveProtocol(TformLumo& w, DemoDialogs& dialogs, const QDir& dir, const QString& name,
                               std::vector<std::string> fields) {
    const std::string path = dir.absoluteFilePath(name).toStdString();
    return {{200, [&w, &dialogs, path, fields] {
                 QFile::remove(QString::fromStdString(path));
                 dialogs.protocolPath = path;
                 dialogs.protocolFields = fields;
                 lumo::ui::control<QPushButton>(w.diagramWindow(), "butProtocol")->click();
                 return true;
             }},
            {100, [&w, path] {
                 if (w.diagramWindow().writingProtocol() || !QFile::exists(QString::fromStdString(path))) return false;
                 std::printf("demo: %s\n", path.c_str());
                 return true;
             }, "a protocol"}};
}

#ifndef _WIN32
// Picks the port in the settings dialog and checks it, as an operator would.
void checkPort(const std::string& name) {
    lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->setCurrentText(QString::fromStdString(name));
    lumo::ui::control<QPushButton>(*frmSettings, "butCheckConnect")->click();
}

// The steps of the demo with the built-in engine.
std::vector<Step> demoSteps(TformLumo& w, DemoDialogs& dialogs, const QDir& dir, const std::string& reportPath,
                            std::unique_ptr<lumo::sim::MeterServer>& faulty) {
    std::vector<Step> steps = {
        {1000, [&] { grab(&w, dir.filePath("window-start.png")); return true; }},
        {200, [&] { lumo::ui::control<QPushButton>(w, "butGetTekData")->click(); return true; }},
        {3500, [&] { grab(&w, dir.filePath("window-live.png")); return true; }},
        {200, [&] { openDiagram(w); return true; }},
        {6000, [&] { grab(&w.diagramWindow(), dir.filePath("diagram-correct.png")); return true; }},
    };
    // The protocol of the correct circuit, over ten seconds of its readings.
    auto add = [&steps](std::vector<Step> more) { steps.insert(steps.end(), more.begin(), more.end()); };
    add(saveProtocol(w, dialogs, dir, "protocol-correct.pdf",
                     {"ТП-12, РУ-0,4 кВ", "Ввод 1, счётчик № 0412", "Иванов И. И."}));
    add({
        {200, [&] {
             lumo::sim::MeterConfig config;
             config.paced = true;
             config.wiring = lumo::sim::wiringFromName("reversed-b");
             faulty = std::make_unique<lumo::sim::MeterServer>(config);
             checkPort(faulty->devicePath());
             return true;
         }},
        // Ten seconds and more of the second meter's readings alone before its protocol.
        {11000, [&] { grab(&w.diagramWindow(), dir.filePath("diagram-fault.png")); return true; }},
    });
    add(saveProtocol(w, dialogs, dir, "protocol-reversed-b.pdf",
                     {"ТП-12, РУ-0,4 кВ", "Ввод 2, счётчик № 0413", "Иванов И. И."}));
    add({
        {200, [&] {
             checkPort(lumo::readProfileString(dir.filePath("UserLumo.INI").toStdString(), lumo::SettingsSection,
                                               lumo::SettingsPortKey, ""));
             w.diagramWindow().close();
             return true;
         }},
        {200, [&] { lumo::ui::control<QAction>(w, "Create")->trigger(); return true; }},
        {200, [&] { lumo::ui::control<QCheckBox>(w, "cbAddToReport")->setChecked(true); return true; }},
        {3200, [&] { lumo::ui::control<QPushButton>(w, "ButShow")->click(); return true; }},
        {1500, [&] { grab(viewerWindow(), dir.filePath("viewer-live.png")); return true; }},
        {200, [&] { lumo::ui::control<QPushButton>(w, "butReadMemory")->click(); return true; }},
        {1000, [&] { return !lumo::ui::control<QTimer>(w, "timerMem")->isActive(); }},  // until the download has ended
        {500, [&] {
             grab(&w, dir.filePath("window-memory.png"));
             // The viewer shows the live sheet; the memory rows are on the second sheet.
             QWidget* viewer = viewerWindow();
             if (auto* tabs = viewer ? viewer->findChild<QTabWidget*>() : nullptr)
                 tabs->setCurrentIndex(1);
             return true;
         }},
        {300, [&] { grab(viewerWindow(), dir.filePath("viewer-memory.png")); return true; }},
        {200, [&] { lumo::ui::control<QAction>(w, "Save")->trigger(); return true; }},
        {500, [&] {
             std::printf("demo: %s (%d live rows, %d memory rows)\n", reportPath.c_str(),
                         w.reportState().LiveRow - 3, w.reportState().MemoryRow - 4);
             w.close();
             return true;
         }},
    });
    return steps;
}

#else
// ---- The checks on Windows ----

template <class T>
T* named(QWidget* window, const char* name) {
    T* child = window ? window->findChild<T*>(name) : nullptr;
    if (!child) std::printf("check: no %s in %s\n", name, window ? qPrintable(window->objectName()) : "-");
    return child;
}

// A reading as the labels show it: a number in the general format with a decimal comma.
bool isReading(const QString& text) {
    static const QRegularExpression number("^-?[0-9]+(,[0-9]+)?(E[-+]?[0-9]+)?$");
    return number.match(text).hasMatch();
}

QString textOf(QWidget* window, const char* name) {
    QLabel* l = named<QLabel>(window, name);
    return l ? l->text() : QString();
}

bool allReadings(TformLumo& w) {
    static const char* names[18] = {"labUA", "labIA", "labFA", "labPA", "labQA", "labSA",
                                    "labUB", "labIB", "labFB", "labPB", "labQB", "labSB",
                                    "labUC", "labIC", "labFC", "labPC", "labQC", "labSC"};
    for (const char* n : names) {
        QLabel* l = w.findChild<QLabel*>(n);
        if (!l || !isReading(l->text())) return false;
    }
    return true;
}

// Runs a handler that may open a modal box later on the event loop, so that the steps after it
// go on while the box is shown.
void later(std::function<void()> f) { QTimer::singleShot(0, std::move(f)); }

QMessageBox* openBox() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }

std::vector<Step> windowsChecks(TformLumo& w, DemoDialogs& dialogs, const QDir& dir, Shots& shots,
                                const std::string& port) {
    auto settings = [&w] { return w.findChild<QDialog*>("frmSettings"); };
    auto status = [settings] { return textOf(settings(), "labStatus"); };
    // Empties labUA; the next tick of live polling fills it again.
    auto clearReading = [&w] {
        if (QLabel* l = named<QLabel>(&w, "labUA")) l->clear();
        return true;
    };
    auto checkConnect = [settings](const std::string& name) {
        return [settings, name] {
            QDialog* d = settings();
            if (auto* cb = named<QComboBox>(d, "cbCOM")) cb->setCurrentText(QString::fromStdString(name));
            if (auto* b = named<QPushButton>(d, "butCheckConnect")) later([b] { b->click(); });
            return true;
        };
    };
    std::vector<Step> steps = {
        {1000, [&w] {
             const QSize client(TformLumo::ClientWidth, TformLumo::ClientHeight);
             check(w.centralWidget()->size() == client && w.minimumSize() == w.maximumSize() &&
                       w.size() == w.minimumSize(),
                   "the main window has its designed size, fixed");
             w.resize(w.width() + 100, w.height() + 100);
             return true;
         }},
        // The system may pass the resize on late (a busy machine): the window ends at its size.
        {100, [&w] { return w.size() == w.minimumSize(); }, "the main window back at its size"},
        {0, [&w] {
             check(w.size() == w.minimumSize(), "the main window refuses a resize");
             if (auto* b = named<QPushButton>(&w, "butGetTekData")) b->click();
             return true;
         }},
        {200, [&w] { return allReadings(w); }, "the 18 live readings"},
        {0, [] { check(true, "the 18 live readings are shown"); return true; }},
    };
    auto add = [&steps](std::vector<Step> more) { steps.insert(steps.end(), more.begin(), more.end()); };
    add(shots.take("window-live", [&w] { return &w; }));
    // The vector diagram window from the menu bar, following the readings; the simulator's
    // usual readings are a correctly wired circuit.
    // The lines the check shows (the label colours them).
    auto checkText = [&w] {
        const auto lines = w.diagramWindow().verdict().lines();
        return lines.size() == 1 ? lines.front() : std::string();
    };
    add({
        {200, [&w] {
             QWidget* d = openDiagram(w);
             d->move(12, 60);  // on the 1024 x 768 screen, over the main window
             return true;
         }},
        {200, [checkText] { return checkText() == lumo::msg::WiringOk; }, "the wiring check's verdict"},
        {0, [&w] {
             QWidget& d = w.diagramWindow();
             check(d.isVisible() && d.isWindow() && d.windowTitle() == "Векторная диаграмма" &&
                       QApplication::activeModalWidget() == nullptr,
                   "Диаграмма opens the window Векторная диаграмма, not modal");
             check(true, "the diagram follows the readings: Ошибок подключения не найдено");
             return true;
         }},
        {2500, [] { return true; }},  // a few seconds of trend
    });
    add(shots.take("diagram", [&w] { return &w.diagramWindow(); }));
    // Its protocol, read back on the other side of Wine (pdftotext).
    add(saveProtocol(w, dialogs, dir, "protocol.pdf", {"Подстанция № 3", "Ввод 1", "Петров П. П."}));
    add({{0, [&w] {
              w.diagramWindow().close();
              return true;
          }}});
    // Without Excel (Wine has none) the built-in engine serves the report: "Создать" makes
    // one, "Просмотреть отчет" shows its viewer and hides it again, "Закрыть" asks the save
    // question and closes it.
    auto viewer = [&w]() -> QWidget* {
        auto* app = lumo::spreadsheet::applicationOf(w.reportState().ExcelApp);
        QWidget* window = app ? lumo::spreadsheet::windowOf(app->viewer()) : nullptr;
        return window && window->isVisible() ? window : nullptr;
    };
    auto showButton = [&w] { return named<QPushButton>(&w, "ButShow"); };
    add({
        {200, [&w] {
             if (auto* c = named<QCheckBox>(&w, "cbAddToReport")) c->setChecked(true);
             if (auto* a = w.findChild<QAction*>("Create")) later([a] { a->trigger(); });
             return true;
         }},
        {100, [&w] { return w.reportState().ReportOpen; }, "the report of Создать"},
        {0, [&w, showButton] {
             check(textOf(&w, "LabReportDate") != "нет" && showButton() && showButton()->isEnabled() &&
                       QApplication::activeModalWidget() == nullptr,
                   "Создать makes a report with the built-in engine (no Excel here)");
             showButton()->click();
             return true;
         }},
        {100, [viewer] { return viewer() != nullptr; }, "the report's viewer"},
        {100, [&w] { return w.reportState().LiveRow > 4; }, "live rows in the report"},
        {0, [&w, showButton] {
             check(showButton()->text() == lumo::msg::HideReport && w.reportState().LiveRow > 4,
                   "Просмотреть отчет shows the viewer, rows coming in");
             return true;
         }},
    });
    add(shots.take("viewer", viewer));
    add({
        {0, [showButton] {
             showButton()->click();
             return true;
         }},
        {100, [viewer] { return viewer() == nullptr; }, "the viewer hidden"},
        {0, [&w, showButton] {
             check(showButton()->text() == lumo::msg::ShowReport, "Спрятать отчет hides it again");
             if (auto* c = named<QCheckBox>(&w, "cbAddToReport")) c->setChecked(false);
             if (auto* a = w.findChild<QAction*>("Close")) later([a] { a->trigger(); });
             return true;
         }},
        {100, [] { return openBox() != nullptr; }, "the save question of Закрыть"},
        {0, [&w, clearReading] {
             check(openBox()->text() == lumo::msg::SaveQuestion, "Закрыть asks whether to save");
             openBox()->button(QMessageBox::No)->click();
             return true;
         }},
        {100, [&w] { return !w.reportState().ReportOpen; }, "the report closed"},
        {0, [&w, clearReading] {
             auto* name = named<QLabel>(&w, "LabRepName");
             check(name && name->text() == "нет", "no report is open");
             return clearReading();
         }},
        {200, [&w] { return isReading(textOf(&w, "labUA")); }, "a reading after the report"},
        {0, [] { check(true, "live polling goes on after the report"); return true; }},
        {200, [&w] {
             if (auto* a = w.findChild<QAction*>("N2")) later([a] { a->trigger(); });
             return true;
         }},
        {100, [settings] { return settings() && settings()->isVisible(); }, "the settings dialog"},
        {0, checkConnect(port)},
        {100, [status] { return !status().isEmpty(); }, "the outcome of the check"},
        {0, [status] { check(status() == "Прибор подключен", "the meter's port: Прибор подключен"); return true; }},
    });
    add(shots.take("settings-connected", [] { return QApplication::activeModalWidget(); }));
    add({
        {0, checkConnect("COM77")},
        {100, [] { return openBox() != nullptr; }, "the message box of the missing port"},
        {0, [] {
             check(openBox()->text() == lumo::msg::CannotOpenPort, "a missing port: Невозможно открыть COM порт");
             return true;
         }},
    });
    add(shots.take("message-no-port", [] { return openBox(); }));
    add({
        {0, [] { openBox()->close(); return true; }},
        {100, [status] { return status() == "Прибор не подключен"; }, "Прибор не подключен"},
        {0, [&w] {
             check(!w.serialPort().PortOpen(), "a missing port: Прибор не подключен, no port open");
             return true;
         }},
    });
    add(shots.take("settings-not-connected", [] { return QApplication::activeModalWidget(); }));
    add({
        {0, checkConnect(port)},
        {100, [status] { return status() == "Прибор подключен"; }, "Прибор подключен again"},
        {0, [settings, clearReading] {
             if (QDialog* d = settings()) d->close();
             return clearReading();
         }},
        {200, [&w] { return isReading(textOf(&w, "labUA")); }, "a reading after the settings"},
        {0, [] { check(true, "live polling goes on after the settings check"); return true; }},
    });
    add(shots.take("window-end", [&w] { return &w; }));
    add({{200, [&w] { w.close(); return true; }}});
    return steps;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("UserLumo");
    lumo::loadRussianTranslations(app);
    lumo::automation::ThreadApartment apartment;
    lumo::registerSpreadsheetApplication();

    QString out = "demo-out";
    QString port;
    bool shotsByCaller = false;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
        else if (args[i] == "--port" && i + 1 < args.size()) port = args[++i];
        else if (args[i] == "--wait-for-shots") shotsByCaller = true;
    }
    QDir().mkpath(out);
    const QDir dir(out);
    const std::string ini = dir.filePath("UserLumo.INI").toStdString();
    if (!port.isEmpty())
        lumo::writeProfileString(ini, lumo::SettingsSection, lumo::SettingsPortKey, port.toStdString());
    const std::string reportPath = QDir::toNativeSeparators(dir.absoluteFilePath("report.xlsx")).toStdString();
    QFile::remove(QString::fromStdString(reportPath));

    lumo::QtOperatorDialogs qtDialogs;
    DemoDialogs dialogs(qtDialogs, reportPath);
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ini};
    lumo::createWindows(context);
    qtDialogs.setParentWindow(formLumo);
    formLumo->show();
    TformLumo& w = *formLumo;

#ifdef _WIN32
    Shots shots(dir, shotsByCaller);
    StepRunner runner(windowsChecks(w, dialogs, dir, shots, port.toStdString()));
#else
    (void)shotsByCaller;
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
    std::unique_ptr<lumo::sim::MeterServer> faulty;  // the second meter, wired wrong
    StepRunner runner(demoSteps(w, dialogs, dir, reportPath, faulty));
#endif
    runner.start();
    QApplication::exec();
    qtDialogs.abandonWaiters();
    lumo::destroyWindows();
#ifdef _WIN32
    // The window saved the port it was left with.
    check(lumo::readProfileString(ini, lumo::SettingsSection, lumo::SettingsPortKey, "") == port.toStdString(),
          "the settings file keeps the port");
    std::printf("windows app: %d checks failed\n", failures + (runner.gaveUp() ? 1 : 0));
#endif
    return failures > 0 || runner.gaveUp() ? 1 : 0;
}
