// lumo-ports: the serial ports that the settings dialog offers, as its list shows them when it
// is opened, one a line: the name, a tab and the tooltip (the device's description). A quick
// look at what the program finds, and what scripts/test-windows-app checks under Wine.
#include <QApplication>
#include <QComboBox>
#include <cstdio>

#include "app/Userprog.h"
#include "app/Usersett.h"
#include "app/qt_dialogs.h"
#include "app/window_style.h"
#include "common/clock.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    lumo::QtOperatorDialogs dialogs;
    lumo::SystemClock clock;
    AppContext context{dialogs, clock, ""};  // no settings file: the dialog starts with COM3
    lumo::SerialPort port(dialogs);
    TfrmSettings settings(context, nullptr, port);
    settings.refreshPortList();
    const auto* combo = lumo::ui::control<QComboBox>(settings, "cbCOM");
    for (int i = 0; i < combo->count(); ++i) {
        const QString tip = combo->itemData(i, Qt::ToolTipRole).toString().replace('\n', ' ');
        std::printf("%s\t%s\n", combo->itemText(i).toUtf8().constData(), tip.toUtf8().constData());
    }
    return 0;
}
