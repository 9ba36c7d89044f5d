#include <gtest/gtest.h>

#include <QComboBox>

#include "app/Userprog.h"
#include "app/Usersett.h"
#include "app/serial_ports.h"
#include "app/window_style.h"
#include "common/messages.h"
#include "link/serial_port.h"
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

// What the tooltips and the failure box say of an adapter by its USB ids and its problem code.
TEST(SerialPorts, AdaptersAreNamedByTheirChipAndARefusedCloneIsNamedInTheFailureBox) {
    EXPECT_EQ(adapterDescription("USB-SERIAL CH340 (COM5)", 0x1A86, 0x7523), "USB-SERIAL CH340 (COM5)");
    EXPECT_EQ(adapterDescription("USB Serial Port (COM6)", 0x0403, 0x6001), "USB Serial Port (COM6), микросхема FTDI");
    EXPECT_EQ(adapterDescription("", 0x10C4, 0xEA60), "микросхема CP210x");
    EXPECT_EQ(adapterDescription("Communications Port (COM1)", 0, 0), "Communications Port (COM1)");

    const PortDevice clone{"COM7", "Prolific USB-to-Serial Comm Port (COM7)", "", 0x067B, 0x2303, 10};
    const std::string box = openFailureText(OpenFailure::DeviceProblem, deviceProblemText(clone));
    EXPECT_EQ(box.substr(0, box.find('\n')), msg::CannotOpenPort);
    EXPECT_NE(box.find("Prolific USB-to-Serial Comm Port (COM7) (PL2303)"), std::string::npos) << box;
    EXPECT_NE(box.find("код неполадки 10"), std::string::npos) << box;
    EXPECT_NE(box.find(msg::ClonePl2303), std::string::npos) << box;
    // Another chip's problem says only what is known.
    const std::string other = deviceProblemText({"COM8", "", "", 0x0403, 0x6001, 28});
    EXPECT_NE(other.find("COM8 (FTDI)"), std::string::npos) << other;
    EXPECT_EQ(other.find("PL2303"), std::string::npos);
}
