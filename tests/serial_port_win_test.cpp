// The Win32 serial port and the meter protocol on it, against simulated meters on Linux
// pseudo-terminals that Wine maps to COM ports. scripts/test-windows starts the simulators and
// names the ports in the environment; without them these tests are skipped:
//   LUMO_TEST_COM         a well-behaved meter
//   LUMO_TEST_COM_HIGH    the same meter under a port number of 10 or more
//   LUMO_TEST_COM_FAULTY  a meter giving one wrong echo to parameter 1 and no answer to 2
//   LUMO_TEST_COM_HANGUP, LUMO_TEST_COM_HANGUP_2
//                         two meters that hang up after answering one request each
//   LUMO_TEST_COM_REPLUG  a meter behind a link, pulled out after answering two requests and
//                         plugged in again on another pseudo-terminal behind the same link
//   LUMO_TEST_COM_LATE    a port whose meter is plugged in only once the test writes the file
//                         plug-in-late into LUMO_TEST_SIM_LOGS
//   LUMO_TEST_SIM_LOGS    the folder of the simulators' request logs, requests-<port>.log each
//                         ("COM6.log" itself would name the port: a device name with any extension)
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "link/meter_protocol.h"
#include "link/serial_port.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::meter;
using namespace std::chrono_literals;
using lumo::test::ScriptedDialogs;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

#define PORT_OR_SKIP(var, name)                                          \
    const std::string var = env(name);                                   \
    if (var.empty()) GTEST_SKIP() << name << " names no simulated meter"

// The requests a simulator logged ("D 0001 00000000" each), waiting up to 5 s for `count`.
std::vector<std::string> loggedRequests(const std::string& port, std::size_t count) {
    std::vector<std::string> lines;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        lines.clear();
        std::ifstream in(env("LUMO_TEST_SIM_LOGS") + "\\requests-" + port + ".log");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        if (lines.size() >= count) break;
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return lines;
}

bool written(PlatformPortHandle h, const std::uint8_t* data, std::size_t size) {
    return serial_device::write(h, data, size) == serial_device::Transfer::Done;
}
bool got(PlatformPortHandle h, std::uint8_t& byte) {
    return serial_device::readByte(h, byte) == serial_device::Transfer::Done;
}

struct OpenDevice {
    explicit OpenDevice(const std::string& name) { opened = serial_device::open(name, handle); }
    ~OpenDevice() {
        if (opened) serial_device::close(handle);
    }
    PlatformPortHandle handle = serial_device::InvalidHandle;
    bool opened = false;
};

}  // namespace

TEST(SerialPortWin, NamesGetTheDevicePrefixOnlyWhenOpened) {
    EXPECT_EQ(serial_device::devicePath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(serial_device::devicePath("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(serial_device::devicePath("\\\\.\\COM12"), "\\\\.\\COM12");
}

TEST(SerialPortWin, OpenSetsTheExactLineSettingsAndTimeOuts) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM");
    OpenDevice dev(port);
    ASSERT_TRUE(dev.opened);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(dev.handle, &dcb));
    EXPECT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    // Off, but distinct: Windows refuses equal XON and XOFF characters.
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    // DTR and RTS are not read back: a pseudo-terminal has no modem lines.

    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(dev.handle, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);
}

TEST(SerialPortWin, ReadsNeverWaitAndDeliverOneByteAtATime) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM");
    OpenDevice dev(port);
    ASSERT_TRUE(dev.opened);
    std::uint8_t byte = 0;
    // The meter says nothing unasked: a read returns at once with no byte.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(got(dev.handle, byte));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);

    const RequestFrame probe = buildRequest(CmdProbe, 0, 0);
    ASSERT_TRUE(written(dev.handle, probe.data(), probe.size()));
    std::vector<std::uint8_t> reply;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (reply.size() < FrameSize && std::chrono::steady_clock::now() < deadline) {
        if (got(dev.handle, byte)) reply.push_back(byte);
        else std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(reply.size(), FrameSize);
    EXPECT_TRUE(echoMatches(reply, CmdProbe));
    EXPECT_FALSE(got(dev.handle, byte));  // nothing beyond the reply
}

TEST(SerialPortWin, ProtocolExchangesWithTheMeterAndKeepsTheNameAsTyped) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM");
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_TRUE(sp.OpenPort(port));
    EXPECT_TRUE(ProbeRequest(sp, CmdProbe, 0, 0));
    ReplyFields fields;
    ASSERT_TRUE(SendRequest(sp, dialogs, fields, CmdLive, 1, 0));
    EXPECT_EQ(fields.ParamNo, 1);
    EXPECT_EQ(fields.AddressText, "0x0001");
    EXPECT_NE(fields.Value, NoValue);
    EXPECT_NE(fields.Value.find(','), std::string::npos) << fields.Value;
    ASSERT_TRUE(SendRequest(sp, dialogs, fields, CmdCount, 0, 0));
    EXPECT_TRUE(dialogs.messages().empty());
    sp.ClosePort();
}

TEST(SerialPortWin, PortNumbersFromTenOnOpenThroughThePrefix) {
    PORT_OR_SKIP(high, "LUMO_TEST_COM_HIGH");
    // The plain name is not a device name for COM10 and above.
    HANDLE plain = CreateFileA(high.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(plain, INVALID_HANDLE_VALUE);
    if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);

    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_TRUE(sp.OpenPort(high));
    EXPECT_TRUE(ProbeRequest(sp, CmdProbe, 0, 0));
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST(SerialPortWin, MissingPortIsToldOnce) {
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    EXPECT_FALSE(sp.OpenPort("COM77"));
    EXPECT_FALSE(sp.PortOpen());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CannotOpenPort});
}

TEST(SerialPortWin, ADeviceRefusingTheLineSettingsIsNotOpenedAndNotKept) {
    char dir[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, dir), 0u);
    const std::string file = std::string(dir) + "lumo-not-a-port.txt";
    HANDLE made = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);

    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    EXPECT_FALSE(sp.OpenPort(file));  // the file opens, SetCommState refuses it
    EXPECT_FALSE(sp.PortOpen());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CannotOpenPort});
    // The refused handle was closed: the file opens again without sharing.
    HANDLE again = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    DeleteFileA(file.c_str());
}

TEST(SerialPortWin, BadRepliesAreRejectedAndResent) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM_FAULTY");
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_TRUE(sp.OpenPort(port));
    ReplyFields fields;
    // A wrong echo, then a good reply to the resend.
    EXPECT_TRUE(SendRequest(sp, dialogs, fields, CmdLive, 1, 0));
    EXPECT_EQ(fields.ParamNo, 1);
    // No answer at all: four sends, then the texts say "нет".
    EXPECT_FALSE(SendRequest(sp, dialogs, fields, CmdLive, 2, 0));
    EXPECT_EQ(fields.Value, NoValue);
    EXPECT_TRUE(sp.PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());

    const std::vector<std::string> one(2, "D 0001 00000000"), two(4, "D 0002 00000000");
    std::vector<std::string> expected = one;
    expected.insert(expected.end(), two.begin(), two.end());
    EXPECT_EQ(loggedRequests(port, expected.size()), expected);
}

TEST(SerialPortWin, WriteFailsOnceTheMeterHasHungUp) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM_HANGUP");
    OpenDevice dev(port);
    ASSERT_TRUE(dev.opened);
    const RequestFrame probe = buildRequest(CmdProbe, 0, 0);
    ASSERT_TRUE(written(dev.handle, probe.data(), probe.size()));
    ASSERT_EQ(loggedRequests(port, 1).size(), 1u);

    // The simulator hangs up right after its one answer; a byte soon no longer goes out, with
    // the error of a device that has gone.
    const std::uint8_t reject = RejectByte;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto result = serial_device::Transfer::Done;
    while ((result = serial_device::write(dev.handle, &reject, 1)) == serial_device::Transfer::Done &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(result, serial_device::Transfer::DeviceGone);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));  // Wine's code for a line whose other side is gone
}

TEST(SerialPortWin, LostMeterClosesThePortWithOneMessage) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM_HANGUP_2");
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_TRUE(sp.OpenPort(port));
    ReplyFields fields;
    // The meter answers the first request and hangs up; its answer may go with the line. The
    // next write that fails closes the port and tells the operator once.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sp.PortOpen() && std::chrono::steady_clock::now() < deadline)
        SendRequest(sp, dialogs, fields, CmdLive, 1, 0);
    EXPECT_FALSE(sp.PortOpen());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(SendRequest(sp, dialogs, fields, CmdLive, 2, 0));  // closed: silent
    EXPECT_FALSE(ProbeRequest(sp, CmdProbe, 0, 0));
    EXPECT_EQ(dialogs.texts().size(), 1u);
    EXPECT_EQ(loggedRequests(port, 1).size(), 1u);
}

TEST(SerialPortWin, TheSystemListsThePortsByNumber) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM");
    PORT_OR_SKIP(high, "LUMO_TEST_COM_HIGH");
    const std::vector<PortDevice> ports = serial_device::presentPorts();
    auto at = [&](const std::string& name) {
        for (std::size_t i = 0; i < ports.size(); ++i)
            if (ports[i].name == name) return static_cast<int>(i);
        return -1;
    };
    ASSERT_GE(at(port), 0);
    ASSERT_GE(at(high), 0);
    EXPECT_LT(at(port), at(high));  // COM5 before COM15
    const PortDevice& meter = ports[static_cast<std::size_t>(at(port))];
    EXPECT_FALSE(meter.driverName.empty() && meter.friendlyName.empty());
    EXPECT_EQ(meter.problem, 0u);
}

TEST(SerialPortWin, AMeterPluggedInAgainIsOpenedAgainByItself) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM_REPLUG");
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_TRUE(sp.OpenPort(port));
    ReplyFields fields;
    // Requests until one finds the device gone: the port closes and waits for it.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (sp.PortOpen() && std::chrono::steady_clock::now() < deadline)
        SendRequest(sp, dialogs, fields, CmdLive, 1, 0);
    ASSERT_FALSE(sp.PortOpen());
    EXPECT_TRUE(sp.AwaitingDevice());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    // Plugged in again: the port opens the same name by itself, and the meter answers.
    while (!sp.PortOpen() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(sp.PortOpen());
    EXPECT_TRUE(SendRequest(sp, dialogs, fields, CmdLive, 3, 0));
    EXPECT_EQ(fields.ParamNo, 3);
    EXPECT_FALSE(sp.AwaitingDevice());
    EXPECT_EQ(dialogs.texts().size(), 1u);
}

TEST(SerialPortWin, AnAdapterPluggedInAfterTheStartIsOpenedByItself) {
    PORT_OR_SKIP(port, "LUMO_TEST_COM_LATE");
    ScriptedDialogs dialogs;
    SerialPort sp(dialogs);
    ASSERT_FALSE(sp.OpenPort(port));  // nothing behind the port yet
    ASSERT_EQ(dialogs.texts().size(), 1u);
    EXPECT_EQ(dialogs.texts()[0].rfind(msg::CannotOpenPort, 0), 0u);
    // The adapter is plugged in: the port opens by itself, and the meter answers.
    std::ofstream(env("LUMO_TEST_SIM_LOGS") + "\\plug-in-late") << "now\n";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!sp.PortOpen() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(sp.PortOpen());
    ReplyFields fields;
    EXPECT_TRUE(SendRequest(sp, dialogs, fields, CmdLive, 4, 0));
    EXPECT_EQ(fields.ParamNo, 4);
    EXPECT_EQ(dialogs.texts().size(), 1u);
}
