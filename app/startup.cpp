#include "app/startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/Usersett.h"
#include "automation/automation.h"
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

ReportApplication reportApplicationFrom(const std::string& setting) {
    std::string s;
    for (char c : setting) s += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (s == "excel") return ReportApplication::Excel;
    if (s == "builtin") return ReportApplication::Builtin;
    return ReportApplication::Auto;
}

const char* settingOf(ReportApplication choice) {
    switch (choice) {
        case ReportApplication::Excel: return "Excel";
        case ReportApplication::Builtin: return "Builtin";
        case ReportApplication::Auto: break;
    }
    return "Auto";
}

ReportApplication registerSpreadsheetApplication(ReportApplication choice) {
#ifndef _WIN32
    // No Excel can be reached off Windows: a settings file brought from a Windows PC with
    // Report=Excel still gets reports, from the engine.
    choice = ReportApplication::Builtin;
#endif
    if (choice == ReportApplication::Auto)
        choice = automation::comProgIdRegistered(automation::kSpreadsheetProgId) ? ReportApplication::Excel
                                                                                : ReportApplication::Builtin;
#ifdef LUMO_WITH_ENGINE
    if (choice == ReportApplication::Builtin) {
        spreadsheet::registerBuiltInEngine();
        spreadsheet::attachQtViewer();
    }
#endif
    return choice;
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
