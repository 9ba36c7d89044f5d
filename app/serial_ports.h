#pragma once
// The serial ports of this computer, for the settings dialog's list of port names.

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

struct PortEntry {
    std::string name;         // what the operator picks and what is saved: a path or "COMn"
    std::string description;  // maker and product where known, for a tooltip
};

// Where Linux keeps a name for each USB adapter that stays the same when it is plugged in again
// (its /dev/ttyUSBn may then be another).
inline constexpr const char* ByIdFolder = "/dev/serial/by-id/";

// The serial ports found (serial_ports_posix.cpp, serial_ports_win.cpp). On Linux: the
// /dev/serial/by-id/ name of every adapter that has one (in place of its /dev/ttyUSBn or
// /dev/ttyACMn, which moves when adapters come and go), then the other USB adapters, then the
// built-in ports; on Windows the COM ports the system lists, sorted by number, described by the
// device manager's names.
std::vector<PortEntry> listSerialPorts();

// A port's tooltip: the device's own name, then its adapter chip where its USB ids tell it
// ("..., микросхема CH340").
std::string adapterDescription(std::string product, std::uint16_t vendorId, std::uint16_t productId);

// The port combo box's items: "COM1" to "COM4", then the ports found (by-id names first), then
// the operator's current text when it names none of those. Names of the same device
// ("COM1" and /dev/ttyS0 on Linux) are listed once, under the first name, which takes over a
// later one's description where it has none.
std::vector<PortEntry> portComboItems(const std::vector<PortEntry>& found,
                                      const std::string& current);

}  // namespace lumo
