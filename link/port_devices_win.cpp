// The serial ports of this computer as Windows lists them: the registry's list of COM ports
// that serial drivers have made, and the device manager's view of the Ports class (friendly
// names, USB ids, problem codes).
#include "link/serial_port.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "common/atomic_file.h"

namespace lumo::serial_device {

namespace {

// The device setup class "Ports (COM & LPT)", GUID_DEVCLASS_PORTS of devguid.h.
constexpr GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string utf8(const wchar_t* text, std::size_t length) {
    while (length > 0 && text[length - 1] == L'\0') --length;
    return pathToUtf8(std::filesystem::path(std::wstring(text, length)));
}

// A REG_SZ value of an open key, or "".
std::string stringValue(HKEY key, const wchar_t* name) {
    wchar_t buffer[256];
    DWORD size = sizeof buffer, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return utf8(buffer, size / sizeof(wchar_t));
}

// A device's property that is a string (or a list of strings: the first one), or "".
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t buffer[512];
    DWORD type = 0, size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                             sizeof buffer - sizeof(wchar_t), &size) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    buffer[std::min<std::size_t>(size / sizeof(wchar_t), std::size(buffer) - 1)] = L'\0';
    return utf8(buffer, std::wcslen(buffer));
}

// The four hexadecimal digits after `tag` ("VID_", "PID_") in a hardware id such as
// USB\VID_1A86&PID_7523&REV_0264 or FTDIBUS\VID_0403+PID_6001+A50285BIA\0000.
std::uint16_t idAfter(const std::string& hardwareId, const char* tag) {
    std::string upper = hardwareId;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto at = upper.find(tag);
    if (at == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::strtoul(upper.substr(at + 4, 4).c_str(), nullptr, 16));
}

bool sameName(const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) == 0; }

// COM2 before COM10; other names after the COM ports, by name.
bool byNumber(const PortDevice& a, const PortDevice& b) {
    auto number = [](const std::string& name) {
        const bool com = name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 &&
                         std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
        return com ? std::atol(name.c_str() + 3) : LONG_MAX;
    };
    const long na = number(a.name), nb = number(b.name);
    return na != nb ? na < nb : a.name < b.name;
}

}  // namespace

std::vector<PortDevice> presentPorts() {
    std::vector<PortDevice> ports;
    auto portNamed = [&](const std::string& name) -> PortDevice& {
        for (PortDevice& p : ports)
            if (sameName(p.name, name)) return p;
        ports.push_back({name});
        return ports.back();
    };

    // Every COM port a serial driver has made is a value under SERIALCOMM: "\Device\Serial0"
    // = "COM1" (https://learn.microsoft.com/en-us/previous-versions/ff546502(v=vs.85)).
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t valueName[256], data[256];
            DWORD nameLength = std::size(valueName), size = sizeof data, type = 0;
            const LONG r = ::RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data), &size);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || type != REG_SZ) continue;
            const std::string name = utf8(data, size / sizeof(wchar_t));
            if (!name.empty()) portNamed(name).driverName = utf8(valueName, nameLength);
        }
        ::RegCloseKey(key);
    }

    // The device manager's Ports class, present devices only: the friendly name, the USB ids
    // of the hardware id, and a problem code (CM_Get_DevNode_Status:
    // https://learn.microsoft.com/en-us/windows/win32/api/cfgmgr32/nf-cfgmgr32-cm_get_devnode_status;
    // the codes: https://learn.microsoft.com/en-us/windows-hardware/drivers/install/device-manager-error-messages).
    // A device whose driver does not run has no SERIALCOMM value, but its PortName is kept in its
    // device key (SetupDiOpenDevRegKey, DIREG_DEV:
    // https://learn.microsoft.com/en-us/windows/win32/api/setupapi/nf-setupapi-setupdiopendevregkey).
    HDEVINFO set = ::SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            HKEY deviceKey = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (deviceKey == INVALID_HANDLE_VALUE) continue;
            const std::string name = stringValue(deviceKey, L"PortName");
            ::RegCloseKey(deviceKey);
            if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) continue;  // LPT ports too
            PortDevice& port = portNamed(name);
            port.friendlyName = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
            const std::string hardwareId = deviceProperty(set, device, SPDRP_HARDWAREID);
            port.vendorId = idAfter(hardwareId, "VID_");
            port.productId = idAfter(hardwareId, "PID_");
            ULONG status = 0, problem = 0;
            if (::CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
                (status & DN_HAS_PROBLEM))
                port.problem = problem;
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    std::sort(ports.begin(), ports.end(), byNumber);
    return ports;
}

}  // namespace lumo::serial_device
