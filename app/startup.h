#pragma once
// Start-up of the program: the Russian translations, the two windows in their order.

#include <QString>
#include <string>

#include "app/Userprog.h"

class QApplication;

namespace lumo {

// Before the application object: the event loop on Qt's own dispatcher rather than glib's.
// With glib's, an X event that comes in while the loop delivers posted events can be left in
// the queue until the next event wakes the loop, so a close request right after live polling
// stopped (nothing else happening then) would lie unanswered.
void useReliableEventLoop();

// Loads Qt's own Russian translations so that standard buttons and file dialogs speak Russian.
// Returns false when they are not installed (the program runs on, in Qt's English).
bool loadRussianTranslations(QApplication& app);

// Which spreadsheet application serves the report, as the settings file names it
// ([Main] Report=Excel|Builtin|Auto): Excel through COM, the built-in engine (with its viewer
// window), or Excel where its program identifier is registered and the engine otherwise.
enum class ReportApplication { Auto, Excel, Builtin };
ReportApplication reportApplicationFrom(const std::string& setting);
const char* settingOf(ReportApplication choice);

// Registers the spreadsheet application the choice comes to; tells which it is (Excel never off
// Windows: the choice of Excel there leaves the report without an application).
ReportApplication registerSpreadsheetApplication(ReportApplication choice = ReportApplication::Auto);

// Creates the main window (which opens the port from the settings file), then the settings
// dialog (which reads the same setting), and sets formLumo and frmSettings; then offers back the
// rows that a run left unsaved in the report's journal.
void createWindows(AppContext& context);

// Deletes the windows created by createWindows (the dialog goes with the main window).
void destroyWindows();

}  // namespace lumo
