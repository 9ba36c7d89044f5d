#include "app/startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/Usersett.h"
#ifdef LUMO_WITH_ENGINE
#include "spreadsheet/engine.h"
#include "spreadsheet/viewer_qt.h"
#endif

namespace lumo {

void useReliableEventLoop() {
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
}

bool loadRussianTranslations(QApplication& app) {
    auto* translator = new QTranslator(&app);
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(QLocale::Russian), "qtbase", "_", dir)) {
        delete translator;
        return false;
    }
    QApplication::installTranslator(translator);
    return true;
}

void registerSpreadsheetApplication() {
#ifdef LUMO_WITH_ENGINE
    spreadsheet::registerBuiltInEngine();
    spreadsheet::attachQtViewer();
#endif
}

void createWindows(AppContext& context) {
    formLumo = new TformLumo(context);
    frmSettings = new TfrmSettings(context, formLumo, formLumo->serialPort());
    formLumo->setSettingsDialog(frmSettings);
    formLumo->RecoverJournal();
}

void destroyWindows() {
    delete formLumo;  // owns the settings dialog
    formLumo = nullptr;
    frmSettings = nullptr;
}

}  // namespace lumo
