#include "link/serial_port.h"

#include "common/messages.h"
#include "common/operator_dialogs.h"

namespace lumo {

namespace serial_device {

namespace {
thread_local OpenFailure lastFailure = OpenFailure::Unknown;
thread_local std::string lastDetail;
}

void noteOpenFailure(OpenFailure why, std::string detail) {
    lastFailure = why;
    lastDetail = std::move(detail);
}
OpenFailure lastOpenFailure() { return lastFailure; }
std::string lastOpenFailureDetail() { return lastDetail; }

}  // namespace serial_device

std::string openFailureText(OpenFailure why, const std::string& detail) {
    std::string text = msg::CannotOpenPort;
    switch (why) {
    case OpenFailure::NoDevice: return text + "\n" + msg::PortNotFound;
    case OpenFailure::Busy: return text + "\n" + msg::PortBusy;
    case OpenFailure::NoPermission:
        return text + "\n" + msg::PortNoPermission + "\n" + msg::PortPermissionFix;
    case OpenFailure::OwnTerminal: return text + "\n" + msg::PortIsOwnTerminal;
    case OpenFailure::DeviceProblem: return text + "\n" + detail;
    case OpenFailure::Unknown: break;
    }
    return text;
}

std::string usbChipName(std::uint16_t vendorId, std::uint16_t productId) {
    // The makers' USB vendor ids; each of them makes little else that shows up as a COM port.
    switch (vendorId) {
    case 0x0403: return "FTDI";
    case 0x1A86: return productId == 0x55D4 ? "CH9102" : productId == 0x5523 ? "CH341" : "CH340";
    case 0x10C4: return "CP210x";
    case 0x067B: return "PL2303";
    default: return "";
    }
}

std::string deviceProblemText(const PortDevice& device) {
    std::string name = device.friendlyName.empty() ? device.name : device.friendlyName;
    const std::string chip = usbChipName(device.vendorId, device.productId);
    if (!chip.empty() && name.find(chip) == std::string::npos) name += " (" + chip + ")";
    std::string text = msg::deviceProblem(name, device.problem);
    // The PL2303's maker's driver refuses the chip's copies and stops them with code 10.
    if (chip == "PL2303") text += "\n" + std::string(msg::ClonePl2303);
    return text;
}

SerialPort::~SerialPort() {
    {
        std::lock_guard lock(reopenMutex_);
        stopReopening_ = true;
    }
    reopenWake_.notify_all();
    if (reopener_.joinable()) reopener_.join();
    std::lock_guard lock(exchangeMutex_);
    closeLocked();
}

bool SerialPort::OpenPort(const std::string& name) { return open(name, false); }

bool SerialPort::OpenAgain() {
    std::string name;
    {
        std::lock_guard lock(exchangeMutex_);
        if (portOpen_.load(std::memory_order_relaxed)) return true;
        name = name_;
    }
    return open(name, true);
}

bool SerialPort::open(const std::string& name, bool again) {
    bool opened;
    OpenFailure why = OpenFailure::Unknown;
    std::string detail;
    {
        std::lock_guard lock(exchangeMutex_);
        // Opened again, a vanished device is still awaited until the meter answers.
        if (!again) stopAwaitingLocked();
        if (portOpen_.load(std::memory_order_relaxed)) closeLocked();
        PlatformPortHandle handle = serial_device::InvalidHandle;
        serial_device::noteOpenFailure(OpenFailure::Unknown);
        opened = serial_device::open(name, handle);
        if (!opened) {
            why = serial_device::lastOpenFailure();
            detail = serial_device::lastOpenFailureDetail();
        }
        name_ = name;
        PortHandle = opened ? handle : serial_device::InvalidHandle;
        portOpen_.store(opened, std::memory_order_release);
        if (opened) reopening_.store(false, std::memory_order_release);
        // Not there yet (an adapter to be plugged in), busy or not yet ours to open: opened when
        // it can be, as a vanished device is. The program's own terminal never will be.
        else if (why != OpenFailure::OwnTerminal && !name.empty()) awaitDeviceLocked();
    }
    // The box is shown with the port released, so no worker waits on the operator.
    if (!opened) dialogs_.error(openFailureText(why, detail));
    return opened;
}

void SerialPort::ClosePort() {
    std::lock_guard lock(exchangeMutex_);
    stopAwaitingLocked();
    closeLocked();
}

void SerialPort::closeLocked() {
    portOpen_.store(false, std::memory_order_release);
    if (PortHandle != serial_device::InvalidHandle) {
        serial_device::close(PortHandle);
        PortHandle = serial_device::InvalidHandle;
    }
}

void SerialPort::stopAwaitingLocked() {
    reopening_.store(false, std::memory_order_release);
    awaiting_.store(false, std::memory_order_release);
}

void SerialPort::deviceGoneLocked() {
    closeLocked();
    awaiting_.store(true, std::memory_order_release);
    awaitDeviceLocked();
}

void SerialPort::awaitDeviceLocked() {
    {
        std::lock_guard lock(reopenMutex_);
        awaitedName_ = name_;
        reopening_.store(true, std::memory_order_release);
        if (!reopener_.joinable() && !stopReopening_) reopener_ = std::thread([this] { reopenLoop(); });
    }
    reopenWake_.notify_all();
}

void SerialPort::reopenLoop() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(reopenMutex_);
    for (;;) {
        reopenWake_.wait(lock, [&] { return stopReopening_ || reopening_.load(); });
        if (stopReopening_) return;
        auto nextTry = Clock::now() + ReopenInterval;
        auto eagerUntil = Clock::time_point::min();
        // A device found at the first look (back before the waiting began) is tried at once.
        bool there = false;
        while (reopening_.load()) {
            if (reopenWake_.wait_for(lock, PresenceLook, [&] { return stopReopening_; })) return;
            const auto now = Clock::now();
            const bool back = serial_device::present(awaitedName_);
            if (back && !there) eagerUntil = now + ComingBack;
            there = back;
            const bool due = now >= nextTry;
            if (!due && !(there && now <= eagerUntil)) continue;
            if (due) nextTry = now + ReopenInterval;
            lock.unlock();
            tryReopen();
            lock.lock();
        }
    }
}

void SerialPort::tryReopen() {
    std::lock_guard lock(exchangeMutex_);
    if (!reopening_.load(std::memory_order_acquire)) return;  // opened or closed meanwhile
    PlatformPortHandle handle = serial_device::InvalidHandle;
    // Not back yet: quietly, without looking for why (the exchange lock is held), again later.
    if (!serial_device::open(name_, handle, /*explain=*/false)) return;
    PortHandle = handle;
    reopening_.store(false, std::memory_order_release);
    portOpen_.store(true, std::memory_order_release);
}

bool SerialPort::Exchange::transferred(serial_device::Transfer result) {
    if (result == serial_device::Transfer::DeviceGone) {
        port_.deviceGoneLocked();
        deviceGone_ = true;
    }
    return result == serial_device::Transfer::Done;
}

bool SerialPort::Exchange::write(const std::uint8_t* data, std::size_t size) {
    if (port_.PortHandle == serial_device::InvalidHandle) return false;
    return transferred(serial_device::write(port_.PortHandle, data, size));
}

bool SerialPort::Exchange::readByte(std::uint8_t& byte) {
    if (port_.PortHandle == serial_device::InvalidHandle) return false;
    return transferred(serial_device::readByte(port_.PortHandle, byte));
}

}  // namespace lumo
