// The serial device on Windows: the Win32 communications calls with the meter's line settings.
#include "link/serial_port.h"

#include <windows.h>

namespace lumo::serial_device {

const PlatformPortHandle InvalidHandle = INVALID_HANDLE_VALUE;

// The device namespace prefix: COM10 and above can only be opened through it, and COM1 to COM9
// open the same way with it. Only the opened path has it; the name the operator chose is kept.
std::string devicePath(const std::string& name) {
    if (name.rfind("\\\\", 0) == 0) return name;  // already \\.\ or another \\ path
    return "\\\\.\\" + name;
}

bool open(const std::string& name, PlatformPortHandle& handle) {
    HANDLE h = ::CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;

    // Built from an all-zero record: 9600 baud, 8 data bits, no parity, 1 stop bit, binary,
    // no flow control, DTR and RTS disabled. Software flow control stays off, but the XON and
    // XOFF characters still get their usual values: Windows refuses a record in which they are
    // equal.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;

    // Reads return at once with what has arrived; writes take at most 100 ms a byte + 10 ms.
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 100;
    t.WriteTotalTimeoutConstant = 10;

    // A device that refuses either (a file, anything that is not a serial line) is no port.
    if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &t)) {
        ::CloseHandle(h);
        return false;
    }

    handle = h;
    return true;
}

void close(PlatformPortHandle handle) {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

bool write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size) {
    DWORD written = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr)) return false;
    return written == size;  // a write cut short by the time-out counts as failed
}

bool readByte(PlatformPortHandle handle, std::uint8_t& byte) {
    DWORD got = 0;
    if (!::ReadFile(handle, &byte, 1, &got, nullptr)) return false;
    return got == 1;
}

}  // namespace lumo::serial_device
