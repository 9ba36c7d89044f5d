#include <gtest/gtest.h>

#include <QComboBox>

#include "app/Userprog.h"
#include "app/Usersett.h"
#include "app/serial_ports.h"
#include "app/window_style.h"
#include "support/scripted_dialogs.h"

using namespace lumo;

namespace {

std::vector<std::string> names(const std::vector<PortEntry>& items) {
    std::vector<std::string> out;
    for (const PortEntry& e : items) out.push_back(e.name);
    return out;
}

}  // namespace

TEST(SerialPorts, ComboListsTheFixedFourThenByIdNamesThenTheRestThenTheOperatorsText) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const std::vector<PortEntry> found{
        {"/dev/ttyUSB1", "Prolific PL2303"},
        {byId, "FTDI FT232R USB UART, /dev/ttyUSB0"},
        {"/dev/ttyS0", "16550A"},  // what "COM1" opens
        {"/dev/ttyACM0", ""},
        {"/dev/ttyUSB1", "listed twice"},
    };
    auto items = portComboItems(found, "/dev/pts/7");
    EXPECT_EQ(names(items), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", byId,
                                                      "/dev/ttyUSB1", "/dev/ttyACM0",
                                                      "/dev/pts/7"}));
    EXPECT_EQ(items[0].description, "16550A");
    EXPECT_EQ(items[4].description, "FTDI FT232R USB UART, /dev/ttyUSB0");
    EXPECT_EQ(items[5].description, "Prolific PL2303");

    // A text naming a listed device, or none, adds nothing.
    const auto plain = names(portComboItems({}, ""));
    EXPECT_EQ(plain, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(names(portComboItems({}, "COM3")), plain);
    EXPECT_EQ(names(portComboItems(found, "ttyACM0")), names(portComboItems(found, "")));
    // Any other text is kept as the operator typed it.
    EXPECT_EQ(names(portComboItems({}, "COM7")).back(), "COM7");
}

// The dialog's list, opened: what the computer has (a made-up list here), with descriptions
// as tooltips, and the operator's text left as typed.
TEST(SerialPorts, OpeningTheDialogsListShowsThePortsFoundWithTheirDescriptions) {
    test::ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    AppContext context{dialogs, clock, "/nonexistent/UserLumo.INI"};
    SerialPort port(dialogs);
    TfrmSettings dialog(context, nullptr, port);
    dialog.setPortLister([] {
        return std::vector<PortEntry>{{"/dev/ttyUSB0", "FTDI FT232R"},
                                      {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "FTDI FT232R"}};
    });
    auto* combo = ui::control<QComboBox>(dialog, "cbCOM");
    combo->setCurrentText("/dev/pts/7");
    combo->showPopup();
    std::vector<std::string> shown;
    for (int i = 0; i < combo->count(); ++i) shown.push_back(combo->itemText(i).toStdString());
    ASSERT_GE(shown.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 5),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4",
                                        "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"}));
    EXPECT_EQ(combo->itemData(4, Qt::ToolTipRole).toString(), "FTDI FT232R");
    EXPECT_EQ(shown.back(), "/dev/pts/7");
    EXPECT_EQ(combo->currentText(), "/dev/pts/7");
    combo->hidePopup();
    EXPECT_TRUE(dialogs.messages().empty());
}
