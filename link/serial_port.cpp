#include "link/serial_port.h"

#include "common/messages.h"
#include "common/operator_dialogs.h"

namespace lumo {

namespace serial_device {

namespace {
thread_local OpenFailure lastFailure = OpenFailure::Unknown;
}

void noteOpenFailure(OpenFailure why) { lastFailure = why; }
OpenFailure lastOpenFailure() { return lastFailure; }

}  // namespace serial_device

std::string openFailureText(OpenFailure why) {
    std::string text = msg::CannotOpenPort;
    switch (why) {
    case OpenFailure::NoDevice: return text + "\n" + msg::PortNotFound;
    case OpenFailure::Busy: return text + "\n" + msg::PortBusy;
    case OpenFailure::NoPermission:
        return text + "\n" + msg::PortNoPermission + "\n" + msg::PortPermissionFix;
    case OpenFailure::Unknown: break;
    }
    return text;
}

SerialPort::~SerialPort() {
    std::lock_guard lock(exchangeMutex_);
    closeLocked();
}

bool SerialPort::OpenPort(const std::string& name) {
    bool opened;
    OpenFailure why = OpenFailure::Unknown;
    {
        std::lock_guard lock(exchangeMutex_);
        if (portOpen_.load(std::memory_order_relaxed)) closeLocked();
        PlatformPortHandle handle = serial_device::InvalidHandle;
        serial_device::noteOpenFailure(OpenFailure::Unknown);
        opened = serial_device::open(name, handle);
        if (!opened) why = serial_device::lastOpenFailure();
        PortHandle = opened ? handle : serial_device::InvalidHandle;
        portOpen_.store(opened, std::memory_order_release);
    }
    // The box is shown with the port released, so no worker waits on the operator.
    if (!opened) dialogs_.error(openFailureText(why));
    return opened;
}

void SerialPort::ClosePort() {
    std::lock_guard lock(exchangeMutex_);
    closeLocked();
}

void SerialPort::closeLocked() {
    portOpen_.store(false, std::memory_order_release);
    if (PortHandle != serial_device::InvalidHandle) {
        serial_device::close(PortHandle);
        PortHandle = serial_device::InvalidHandle;
    }
}

bool SerialPort::Exchange::write(const std::uint8_t* data, std::size_t size) {
    if (port_.PortHandle == serial_device::InvalidHandle) return false;
    return serial_device::write(port_.PortHandle, data, size);
}

bool SerialPort::Exchange::readByte(std::uint8_t& byte) {
    if (port_.PortHandle == serial_device::InvalidHandle) return false;
    return serial_device::readByte(port_.PortHandle, byte);
}

}  // namespace lumo
