// lumo-demo: a short scripted run of the real windows, for machines without an operator.
// It starts the program's windows as UserLumo does (settings file in the output folder),
// walks through the steps below one after another, answers every message box with its
// default button, and leaves screenshots in the output folder.
//
//   lumo-demo --out DIR [--port NAME]
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/qt_dialogs.h"
#include "app/settings_file.h"
#include "app/startup.h"

namespace {

struct Step {
    int delayMs;
    std::function<void()> run;
};

void grab(QWidget* w, const QString& path) {
    if (w && w->grab().save(path)) std::printf("demo: %s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("UserLumo");
    lumo::loadRussianTranslations(app);
    lumo::registerSpreadsheetApplication();

    QString out = "demo-out";
    QString port;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--out") out = args[++i];
        else if (args[i] == "--port") port = args[++i];
    }
    QDir().mkpath(out);
    const std::string ini = QDir(out).filePath("UserLumo.INI").toStdString();
    if (!port.isEmpty())
        lumo::writeProfileString(ini, lumo::SettingsSection, lumo::SettingsPortKey, port.toStdString());

    // Every message box is shown for a moment, captured, and answered with its default button.
    int boxes = 0;
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            grab(box, QDir(out).filePath(QString("message-%1.png").arg(++boxes)));
            box->close();
        }
    });
    boxCloser.start(300);

    lumo::QtOperatorDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ini};
    lumo::createWindows(context);
    dialogs.setParentWindow(formLumo);
    formLumo->show();

    std::vector<Step> steps = {
        {1500, [&] { grab(formLumo, QDir(out).filePath("window.png")); }},
        {200, [&] { formLumo->close(); }},
    };
    std::function<void(size_t)> runFrom = [&](size_t i) {
        if (i >= steps.size()) {
            QApplication::quit();
            return;
        }
        QTimer::singleShot(steps[i].delayMs, [&, i] {
            steps[i].run();
            runFrom(i + 1);
        });
    };
    runFrom(0);
    QApplication::exec();
    dialogs.abandonWaiters();
    lumo::destroyWindows();
    return 0;
}
