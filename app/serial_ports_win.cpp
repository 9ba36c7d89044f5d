// The serial ports of a Windows computer: the ports the system lists (link/port_devices_win.cpp),
// each described by the device manager's name, its adapter chip and any problem it has.
#include "app/serial_ports.h"

#include "common/messages.h"
#include "link/serial_port.h"

namespace lumo {

std::vector<PortEntry> listSerialPorts() {
    std::vector<PortEntry> ports;
    for (const PortDevice& device : serial_device::presentPorts()) {
        // Without the device manager's name (Wine has none), the kind of port and its driver's name.
        std::string description =
            device.friendlyName.empty()
                ? std::string(msg::SerialPortDevice) + (device.driverName.empty() ? "" : " " + device.driverName)
                : adapterDescription(device.friendlyName, device.vendorId, device.productId);
        if (device.problem != 0) description += (description.empty() ? "" : "\n") + deviceProblemText(device);
        ports.push_back({device.name, description});
    }
    return ports;
}

}  // namespace lumo
