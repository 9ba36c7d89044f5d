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
    lumo::registerSpreadsheetApplication();

    lumo::QtOperatorDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock,
                       lumo::settingsLocationFor(QApplication::applicationFilePath().toStdString()),
                       lumo::pathToUtf8(lumo::defaultStateFolder())};
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
