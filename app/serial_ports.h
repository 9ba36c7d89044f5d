#pragma once
// The serial ports of this computer, for the settings dialog's list of port names.

#include <string>
#include <vector>

namespace lumo {

struct PortEntry {
    std::string name;         // what the operator picks and what is saved: a path or "COMn"
    std::string description;  // maker and product where known, for a tooltip
};

// The serial ports found. On Linux: the /dev/serial/by-id/ name of every adapter that has one
// (in place of its /dev/ttyUSBn or /dev/ttyACMn, which moves when adapters come and go), then
// the other USB adapters, then the built-in ports; on Windows the COM ports. Empty where Qt's
// serial port module is missing.
std::vector<PortEntry> listSerialPorts();

// The port combo box's items: "COM1" to "COM4", then the ports found (by-id names first), then
// the operator's current text when it names none of those. Names of the same device
// ("COM1" and /dev/ttyS0 on Linux) are listed once, under the first name, which takes over a
// later one's description where it has none.
std::vector<PortEntry> portComboItems(const std::vector<PortEntry>& found,
                                      const std::string& current);

}  // namespace lumo
