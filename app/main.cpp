// UserLumo: the desktop companion of the ЛУМО 2210 volt-ampere-phase meter.
#include <QApplication>
#include <QIcon>

#include "app/qt_dialogs.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "automation/automation.h"
#include "common/atomic_file.h"
#include "report/report_journal.h"

int main(int argc, char** argv) {
    lumo::useReliableEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName("UserLumo");
#ifdef LUMO_APP_ID
    // The name of the installed launcher, so the desktop shows the window under its icon.
    QApplication::setDesktopFileName(LUMO_APP_ID);
    QApplication::setWindowIcon(QIcon::fromTheme(LUMO_APP_ID));
#endif
    lumo::loadRussianTranslations(app);
    lumo::automation::ThreadApartment apartment;  // automation calls run on this thread
    const std::string settings = lumo::settingsLocationFor(QApplication::applicationFilePath().toStdString());
    // The report's application as the settings file chooses it; on Windows the key is written
    // back at close (Auto when it was missing), so the operator finds the choice there.
    std::string reportApp = lumo::readProfileString(settings, lumo::SettingsSection, lumo::SettingsReportKey, "");
#ifdef _WIN32
    if (reportApp.empty()) reportApp = lumo::SettingsReportDefault;
#endif
    const auto choice = lumo::reportApplicationFrom(reportApp);
    if (!reportApp.empty()) reportApp = lumo::settingOf(choice);
    lumo::registerSpreadsheetApplication(choice);

    lumo::QtOperatorDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, settings, lumo::pathToUtf8(lumo::defaultStateFolder()), reportApp};
    try {
        lumo::createWindows(context);
        dialogs.setParentWindow(formLumo);
        formLumo->show();
        QApplication::exec();
    } catch (const std::exception& e) {
        dialogs.showException(e.what());
    } catch (...) {
        dialogs.showException("");
    }
    dialogs.abandonWaiters();
    lumo::destroyWindows();
    return 0;
}
