#pragma once
// The connection settings dialog "Настройка": the port name and a check whether a meter
// answers on it. Created once, hidden, at start-up; shown modally from the main window. It is
// given the port it checks, not the window that owns it.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/serial_ports.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
struct AppContext;
namespace lumo {
class SerialPort;
}

class TfrmSettings : public QDialog {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 193;
    static constexpr int ClientHeight = 161;

    TfrmSettings(AppContext& context, QWidget* parent, lumo::SerialPort& port);

    void FormCreate();
    void butCheckConnectClick();
    void FormCanResize(bool& resize);

    // The port name that the combo box shows, typed or picked.
    std::string portName() const;

    // Fills the combo box's list: the four fixed names, the ports found, the operator's text
    // (kept as typed). Runs each time the list is opened.
    void refreshPortList();
    // Where the ports come from (the computer's, by default; tests give a made-up list).
    void setPortLister(std::function<std::vector<lumo::PortEntry>()> lister) { listPorts_ = std::move(lister); }

private:
    QGroupBox* GroupBox1 = nullptr;
    QLabel* labCOMport = nullptr;
    QComboBox* cbCOM = nullptr;
    QLabel* labStatus = nullptr;
    QPushButton* butCheckConnect = nullptr;

    AppContext& context_;
    lumo::SerialPort& port_;
    std::function<std::vector<lumo::PortEntry>()> listPorts_ = lumo::listSerialPorts;
};

// The one settings dialog of the running program.
extern TfrmSettings* frmSettings;
