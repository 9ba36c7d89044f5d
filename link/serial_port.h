#pragma once
// The one serial port to the meter: opened by name at 9600 baud, 8 data bits, no parity,
// 1 stop bit, no flow control, DTR and RTS off; reads that never wait; writes bounded by
// 100 ms per byte plus 10 ms.
//
// The window's thread opens and closes the port; the workers and the settings check run
// exchanges on it. An exchange holds the port for its whole duration (from its first write to
// its last read), so a close or reopen from the window's thread waits for the exchange to end
// and never meets it half-way, and two exchanges never overlap.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#ifdef _WIN32
using PlatformPortHandle = void*;  // HANDLE
#else
using PlatformPortHandle = int;  // file descriptor
#endif

namespace lumo {

class OperatorDialogs;

// Why a port could not be opened, as far as the platform tells.
enum class OpenFailure { Unknown, NoDevice, Busy, NoPermission };

// The text of the failed open's message box: "Невозможно открыть COM порт", then the reason.
std::string openFailureText(OpenFailure why);

// The platform's serial device calls, one implementation per platform.
namespace serial_device {
extern const PlatformPortHandle InvalidHandle;
// The device path for a port name: on POSIX "COMn" is /dev/ttyS(n-1), a name beginning with
// '/' is a path, any other name is looked for under /dev/. On Windows the name with the
// device prefix \\.\ in front unless it begins with \\ already ("COM12" opens \\.\COM12).
std::string devicePath(const std::string& name);
// Opens the device exclusively and applies the line settings and time-outs; false when the
// device cannot be opened or refuses to be a serial line.
bool open(const std::string& name, PlatformPortHandle& handle);
// Why the last failed open() on this thread failed: open() notes it where the platform tells,
// otherwise it stays Unknown.
void noteOpenFailure(OpenFailure why);
OpenFailure lastOpenFailure();
void close(PlatformPortHandle handle);
// Writes the whole block within the write time-out; false on an error or a time-out.
bool write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size);
// Delivers one byte if one has arrived, without waiting.
bool readByte(PlatformPortHandle handle, std::uint8_t& byte);
}  // namespace serial_device

class SerialPort {
public:
    explicit SerialPort(OperatorDialogs& dialogs) : dialogs_(dialogs) {}
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Closes an open port first, then opens the named one. On failure shows
    // "Невозможно открыть COM порт" with the reason and leaves the port closed. Waits for a
    // running exchange.
    bool OpenPort(const std::string& name);
    // Marks the port closed and releases it; harmless when nothing is open. Waits for a
    // running exchange.
    void ClosePort();

    bool PortOpen() const { return portOpen_.load(std::memory_order_acquire); }

    // One exchange with the meter: holds the port until it goes out of scope.
    class Exchange {
    public:
        bool PortOpen() const { return port_.portOpen_.load(std::memory_order_acquire); }
        bool write(const std::uint8_t* data, std::size_t size);
        bool readByte(std::uint8_t& byte);
        // Closes the port from inside the exchange (after a failed write).
        void ClosePort() { port_.closeLocked(); }
        // Gives the port up before the exchange object ends (before waiting on a message box).
        void release() { lock_.unlock(); }

    private:
        friend class SerialPort;
        explicit Exchange(SerialPort& port) : port_(port), lock_(port.exchangeMutex_) {}
        SerialPort& port_;
        std::unique_lock<std::mutex> lock_;
    };
    Exchange exchange() { return Exchange(*this); }

    OperatorDialogs& dialogs() { return dialogs_; }

private:
    void closeLocked();

    OperatorDialogs& dialogs_;
    std::mutex exchangeMutex_;
    std::atomic<bool> portOpen_{false};
    PlatformPortHandle PortHandle = serial_device::InvalidHandle;
};

}  // namespace lumo
