// The serial device on Windows: the Win32 communications calls with the meter's line settings.
#include "link/serial_port.h"

#include <windows.h>

namespace lumo::serial_device {

const PlatformPortHandle InvalidHandle = INVALID_HANDLE_VALUE;

namespace {

// Why CreateFile refused a port. A serial port is an exclusive device: opened by another program
// it fails with ERROR_ACCESS_DENIED (the serial driver answers STATUS_ACCESS_DENIED, "the
// device is already open":
// https://learn.microsoft.com/en-us/previous-versions/ff546828(v=vs.85); see also
// https://learn.microsoft.com/en-us/windows/win32/devio/communications-resource-handles).
void noteWhy(DWORD error, const std::string& name) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        // A port that is not there may be a device the system has but does not run (a copied
        // adapter chip whose driver refuses it): the device manager lists it with a problem code.
        // Otherwise the box stays one line, as the Windows program has always shown it.
        for (const PortDevice& device : presentPorts())
            if (device.problem != 0 && _stricmp(device.name.c_str(), name.c_str()) == 0) {
                noteOpenFailure(OpenFailure::DeviceProblem, deviceProblemText(device));
                return;
            }
        return;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: noteOpenFailure(OpenFailure::Busy); return;
    default: return;
    }
}

// The errors of a USB adapter that was pulled out while open: the driver fails the transfer
// with ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED or
// ERROR_OPERATION_ABORTED, depending on the driver (the codes:
// https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-,
// https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--1000-1299-).
// ERROR_NOT_READY is what Wine gives for a line whose other side has gone.
bool goneError(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_NOT_READY:
        return true;
    default:
        return false;
    }
}

}  // namespace

// The device namespace prefix: COM10 and above can only be opened through it, and COM1 to COM9
// open the same way with it. Only the opened path has it; the name the operator chose is kept.
std::string devicePath(const std::string& name) {
    if (name.rfind("\\\\", 0) == 0) return name;  // already \\.\ or another \\ path
    return "\\\\.\\" + name;
}

bool open(const std::string& name, PlatformPortHandle& handle, bool explain) {
    HANDLE h = ::CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (explain) noteWhy(::GetLastError(), name);
        return false;
    }

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

// A COM port's DOS device name exists while its device does: a USB adapter's goes when it is
// pulled out (QueryDosDevice:
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-querydosdevicew).
bool present(const std::string& name) {
    std::string device = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    char target[1024];
    return !device.empty() && ::QueryDosDeviceA(device.c_str(), target, sizeof target) != 0;
}

Transfer write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size) {
    DWORD written = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr))
        return goneError(::GetLastError()) ? Transfer::DeviceGone : Transfer::Failed;
    // A write cut short by the time-out counts as failed.
    return written == size ? Transfer::Done : Transfer::Failed;
}

Transfer readByte(PlatformPortHandle handle, std::uint8_t& byte) {
    DWORD got = 0;
    if (!::ReadFile(handle, &byte, 1, &got, nullptr))
        return goneError(::GetLastError()) ? Transfer::DeviceGone : Transfer::Nothing;
    return got == 1 ? Transfer::Done : Transfer::Nothing;
}

}  // namespace lumo::serial_device
