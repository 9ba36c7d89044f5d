#pragma once
// The one serial port to the meter: opened by name at 9600 baud, 8 data bits, no parity,
// 1 stop bit, no flow control, DTR and RTS off; reads that never wait; writes bounded by
// 100 ms per byte plus 10 ms.
//
// The window's thread opens and closes the port; the workers and the settings check run
// exchanges on it. An exchange holds the port for its whole duration (from its first write to
// its last read), so a close or reopen from the window's thread waits for the exchange to end
// and never meets it half-way, and two exchanges never overlap.
//
// A device that goes away (a USB adapter pulled out: reads or writes fail with the system's
// errors of a vanished device) closes the port from inside the exchange that found it gone.
// The port then keeps the name it was given and tries to open it again every two seconds on a
// thread of its own, quietly, until it opens or the port is opened or closed by its owner. In
// between it looks four times a second whether the device is there again (a look opens
// nothing), and tries at once when it comes back, so the meter is picked up without waiting
// for the next try.
// Meanwhile every exchange finds the port closed and gets no reply; AwaitingDevice() tells the
// owner that the meter is gone rather than silent. A port that the owner could not open waits
// for its device the same way (an adapter plugged in after the program started).
//
// The loss of the device is told to the operator once per outage: again only after the meter
// has answered in between (a cable that comes and goes without the meter ever answering is one
// outage).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
using PlatformPortHandle = void*;  // HANDLE
#else
using PlatformPortHandle = int;  // file descriptor
#endif

namespace lumo {

class OperatorDialogs;

// Why a port could not be opened, as far as the platform tells.
enum class OpenFailure { Unknown, NoDevice, Busy, NoPermission, OwnTerminal, DeviceProblem };

// The text of the failed open's message box: "Невозможно открыть COM порт", then the reason,
// and for a device with a problem the device and what is known of it (`detail`).
std::string openFailureText(OpenFailure why, const std::string& detail = {});

// A serial port device as the system lists it (Windows: the registry's serial ports and the
// device manager's view of them).
struct PortDevice {
    std::string name;          // what the port is opened by: "COM5"
    std::string friendlyName;  // the device manager's name: "USB-SERIAL CH340 (COM5)"
    std::string driverName;    // the serial driver's name of the device: "\Device\Serial0"
    std::uint16_t vendorId = 0, productId = 0;  // USB ids; 0 when not known
    unsigned problem = 0;      // the device manager's problem code; 0 when the device works
};

// The adapter chip of a known USB serial adapter ("FTDI", "CH340", "CP210x", "PL2303"), or "".
std::string usbChipName(std::uint16_t vendorId, std::uint16_t productId);

// What the failure box says of a device the system has but cannot run: its name, its chip
// where known, the problem code; a PL2303 clone is named as such.
std::string deviceProblemText(const PortDevice& device);

// The platform's serial device calls, one implementation per platform.
namespace serial_device {
extern const PlatformPortHandle InvalidHandle;
// The device path for a port name: on POSIX "COMn" is /dev/ttyS(n-1), a name beginning with
// '/' is a path, any other name is looked for under /dev/. On Windows the name with the
// device prefix \\.\ in front unless it begins with \\ already ("COM12" opens \\.\COM12).
std::string devicePath(const std::string& name);
// Opens the device exclusively and applies the line settings and time-outs; false when the
// device cannot be opened or refuses to be a serial line. On POSIX only a terminal device
// is opened, and never the program's own terminal. `explain` false skips finding out why a
// port that is not there failed where that means searching the system's devices (Windows):
// the quiet reopening of a vanished device tries every two seconds and tells nobody.
bool open(const std::string& name, PlatformPortHandle& handle, bool explain = true);
// Why the last failed open() on this thread failed: open() notes it where the platform tells,
// otherwise it stays Unknown.
void noteOpenFailure(OpenFailure why, std::string detail = {});
OpenFailure lastOpenFailure();
std::string lastOpenFailureDetail();
// Gives the device its settings from before open() back (POSIX) and releases it.
void close(PlatformPortHandle handle);
// Whether the device of a name is there, without opening it (POSIX: the device file exists;
// Windows: the system knows the device name).
bool present(const std::string& name);

// What one transfer did.
enum class Transfer {
    Done,        // written whole, or a byte read
    Nothing,     // a read found no byte waiting
    Failed,      // an error or a time-out
    DeviceGone,  // the errors of a device that is no longer there
};
// Writes the whole block within the write time-out.
Transfer write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size);
// Delivers one byte if one has arrived, without waiting; an error other than a vanished
// device counts as no byte.
Transfer readByte(PlatformPortHandle handle, std::uint8_t& byte);

#ifdef _WIN32
// The serial ports the system lists, sorted by number, with what the device manager knows.
std::vector<PortDevice> presentPorts();
#endif
}  // namespace serial_device

class SerialPort {
public:
    // How often the port tries to open its vanished device again, and how often it looks in
    // between whether the device is back. A device that has just come back is tried at every
    // look for a while, as the system may still be setting it up (its rights, for one).
    static constexpr auto ReopenInterval = std::chrono::seconds(2);
    static constexpr auto PresenceLook = std::chrono::milliseconds(250);
    static constexpr auto ComingBack = std::chrono::seconds(1);

    explicit SerialPort(OperatorDialogs& dialogs) : dialogs_(dialogs) {}
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Closes an open port first, then opens the named one. On failure shows
    // "Невозможно открыть COM порт" with the reason, leaves the port closed and waits for the
    // named device to appear (as for a vanished one, without AwaitingDevice()). Waits for a
    // running exchange. Ends the wait for a vanished device.
    bool OpenPort(const std::string& name);
    // With the port closed: opens it at once by the name last opened, telling why it cannot as
    // OpenPort does (a wait for the device goes on then). True when the port is open.
    bool OpenAgain();
    // Marks the port closed and releases it; harmless when nothing is open. Waits for a
    // running exchange. Ends the wait for a vanished device.
    void ClosePort();

    bool PortOpen() const { return portOpen_.load(std::memory_order_acquire); }
    // The device went away: true from then until it is open again and the meter has answered,
    // or until the owner opens or closes the port.
    bool AwaitingDevice() const { return awaiting_.load(std::memory_order_acquire); }

    // One exchange with the meter: holds the port until it goes out of scope.
    class Exchange {
    public:
        bool PortOpen() const { return port_.portOpen_.load(std::memory_order_acquire); }
        bool write(const std::uint8_t* data, std::size_t size);
        bool readByte(std::uint8_t& byte);
        // This exchange found the device gone: the port is closed and waits for it.
        bool deviceGone() const { return deviceGone_; }
        // True once per outage: the loss is to be told unless it was told already and the
        // meter has not answered since.
        bool firstWordOfOutage() { return !port_.outageTold_.exchange(true, std::memory_order_acq_rel); }
        // A good reply came: the meter is back, and a later loss is a new outage.
        void meterAnswered() {
            port_.awaiting_.store(false, std::memory_order_release);
            port_.outageTold_.store(false, std::memory_order_release);
        }
        // Closes the port from inside the exchange (after a failed write), as ClosePort() does:
        // a port just opened again no longer awaits its device's meter either.
        void ClosePort() {
            port_.stopAwaitingLocked();
            port_.closeLocked();
        }
        // Gives the port up before the exchange object ends (before waiting on a message box).
        void release() {
            if (lock_.owns_lock()) lock_.unlock();
        }

    private:
        friend class SerialPort;
        explicit Exchange(SerialPort& port) : port_(port), lock_(port.exchangeMutex_) {}
        bool transferred(serial_device::Transfer result);
        SerialPort& port_;
        std::unique_lock<std::mutex> lock_;
        bool deviceGone_ = false;
    };
    Exchange exchange() { return Exchange(*this); }

    OperatorDialogs& dialogs() { return dialogs_; }

private:
    void closeLocked();
    bool open(const std::string& name, bool again);
    // The device vanished: closed, and the reopening thread woken (started the first time).
    void deviceGoneLocked();
    // The reopening thread tries the name last opened (started the first time).
    void awaitDeviceLocked();
    // Ends the waiting for a vanished device (the owner opens or closes the port).
    void stopAwaitingLocked();
    void reopenLoop();
    void tryReopen();

    OperatorDialogs& dialogs_;
    std::mutex exchangeMutex_;
    std::atomic<bool> portOpen_{false};
    PlatformPortHandle PortHandle = serial_device::InvalidHandle;
    std::string name_;                // the name last opened by the owner
    std::string awaitedName_;         // the vanished device's name (reopenMutex_)
    std::atomic<bool> reopening_{false};  // the vanished device is to be opened again
    std::atomic<bool> awaiting_{false};
    std::atomic<bool> outageTold_{false};  // the loss was told; the meter has not answered since

    std::mutex reopenMutex_;
    std::condition_variable reopenWake_;
    bool stopReopening_ = false;
    std::thread reopener_;
};

}  // namespace lumo
