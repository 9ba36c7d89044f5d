#include "app/Usersett.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "app/Userprog.h"
#include "common/messages.h"
#include "app/handler_guard.h"
#include "app/settings_file.h"
#include "app/window_style.h"
#include "link/meter_protocol.h"

TfrmSettings* frmSettings = nullptr;

namespace {

// A combo box that tells before it opens its list, so the list shows the ports present now.
class PortComboBox : public QComboBox {
public:
    PortComboBox(QWidget* parent, std::function<void()> beforePopup)
        : QComboBox(parent), beforePopup_(std::move(beforePopup)) {}
    void showPopup() override {
        beforePopup_();
        QComboBox::showPopup();
    }

private:
    std::function<void()> beforePopup_;
};

}  // namespace

TfrmSettings::TfrmSettings(AppContext& context, QWidget* parent, lumo::SerialPort& port)
    : QDialog(parent), context_(context), port_(port) {
    setWindowTitle("Настройка");
    setFont(lumo::ui::windowFont());
    setModal(true);
    move(426, 266);

    GroupBox1 = new QGroupBox("Настройка подключения", this);
    GroupBox1->setGeometry(0, 0, 193, 161);
    labCOMport = lumo::ui::label(GroupBox1, "COM порт:", 8, 24, 13);
    cbCOM = new PortComboBox(GroupBox1, [this] { lumo::runGuarded(context_.dialogs, [this] { refreshPortList(); }); });
    cbCOM->setEditable(true);
    cbCOM->setFont(lumo::ui::pixelFont(13));
    cbCOM->addItems({"COM1", "COM2", "COM3", "COM4"});
    cbCOM->setCurrentIndex(2);
    cbCOM->move(88, 24);
    cbCOM->resize(81, cbCOM->sizeHint().height());
    labStatus = lumo::ui::label(GroupBox1, "", 16, 64, 13, 170);
    butCheckConnect = lumo::ui::button(GroupBox1, "Проверить подключение", 8, 104, 177, 41, 13);
    setTabOrder(cbCOM, butCheckConnect);
    // The check button is no default button: Enter in the combo box must not run a check.
    butCheckConnect->setAutoDefault(false);

    setObjectName("frmSettings");
    GroupBox1->setObjectName("GroupBox1");
    labCOMport->setObjectName("labCOMport");
    cbCOM->setObjectName("cbCOM");
    labStatus->setObjectName("labStatus");
    butCheckConnect->setObjectName("butCheckConnect");

    connect(butCheckConnect, &QPushButton::clicked, this,
            lumo::guarded(context_.dialogs, [this] { butCheckConnectClick(); }));

    setFixedSize(ClientWidth + 1, ClientHeight + 1);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    FormCreate();
}

void TfrmSettings::FormCreate() {
    cbCOM->setCurrentText(QString::fromStdString(
        lumo::readProfileString(context_.settingsPath, lumo::SettingsSection,
                                lumo::SettingsPortKey, lumo::SettingsPortDefault)));
}

void TfrmSettings::butCheckConnectClick() {
    port_.ClosePort();
    port_.OpenPort(portName());
    const bool answered = lumo::ProbeRequest(port_, 's', 0, 0);
    labStatus->setText(answered ? lumo::msg::MeterConnected : lumo::msg::MeterNotConnected);
}

void TfrmSettings::FormCanResize(bool& resize) { resize = false; }

std::string TfrmSettings::portName() const { return cbCOM->currentText().toStdString(); }

void TfrmSettings::refreshPortList() {
    const QString typed = cbCOM->currentText();
    const auto items = lumo::portComboItems(listPorts_(), typed.toStdString());
    cbCOM->blockSignals(true);
    cbCOM->clear();
    for (const lumo::PortEntry& item : items) {
        cbCOM->addItem(QString::fromStdString(item.name));
        if (!item.description.empty())
            cbCOM->setItemData(cbCOM->count() - 1, QString::fromStdString(item.description), Qt::ToolTipRole);
    }
    cbCOM->setCurrentText(typed);
    cbCOM->blockSignals(false);
}
