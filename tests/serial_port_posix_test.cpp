#include <gtest/gtest.h>

#include <chrono>
#include <termios.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/messages.h"
#include "link/serial_port.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;

namespace {

// The failed open's box: its first line, then the reason.
std::string CannotOpen(const char* reason) { return std::string(msg::CannotOpenPort) + "\n" + reason; }

bool writeAll(SerialPort& port, const std::string& s) {
    auto ex = port.exchange();
    return ex.write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace

TEST(SerialPort, PortNamesMapToDevices) {
    EXPECT_EQ(serial_device::devicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serial_device::devicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(serial_device::devicePath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(serial_device::devicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(serial_device::devicePath("COMX"), "/dev/COMX");
}

TEST(SerialPort, OpenAppliesTheLineSettingsAndTransfersBytes) {
    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(pty.slavePath()));
    EXPECT_TRUE(port.PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());

    // A second descriptor on the same line shows what the open applied: 9600 8N1 raw.
    int fd = ::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd, &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), B9600);
        EXPECT_EQ(::cfgetispeed(&tio), B9600);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
        EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
        ::close(fd);
    }

    // Nothing sent yet: a read returns at once with no byte.
    {
        auto ex = port.exchange();
        std::uint8_t b = 0;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(ex.readByte(b));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    }

    // Bytes written arrive unchanged (a CR LF stays a CR LF on a raw line), and back again.
    ASSERT_TRUE(writeAll(port, "~D000A00000000\r\n"));
    auto got = pty.receive(16);
    EXPECT_EQ(std::string(got.begin(), got.end()), "~D000A00000000\r\n");
    pty.send({'~', 'D', 0x03, '\r', '\n'});
    std::string back;
    {
        auto ex = port.exchange();
        std::uint8_t b;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (back.size() < 5 && std::chrono::steady_clock::now() < deadline)
            if (ex.readByte(b)) back += static_cast<char>(b);
    }
    EXPECT_EQ(back, std::string("~D\x03\r\n"));
}

TEST(SerialPort, OpeningAnotherNameClosesTheFirstAndAFailedOpenLeavesItClosed) {
    PtyPair a, b;
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(a.slavePath()));
    ASSERT_TRUE(port.OpenPort(b.slavePath()));
    // The first line is free again: another opener gets it.
    SerialPort other(dialogs);
    EXPECT_TRUE(other.OpenPort(a.slavePath()));
    EXPECT_TRUE(dialogs.messages().empty());

    EXPECT_FALSE(port.OpenPort("/dev/no-such-port-lumo"));
    EXPECT_FALSE(port.PortOpen());
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].text, CannotOpen(msg::PortNotFound));
    EXPECT_EQ(dialogs.messages()[0].caption, msg::CaptionError);
    EXPECT_EQ(dialogs.messages()[0].icon, MessageIcon::Error);
    // The second line was closed by the failed open.
    SerialPort third(dialogs);
    EXPECT_TRUE(third.OpenPort(b.slavePath()));
}

TEST(SerialPort, SecondOpenerIsRefusedAsBusy) {
    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort first(dialogs), second(dialogs);
    ASSERT_TRUE(first.OpenPort(pty.slavePath()));
    EXPECT_FALSE(second.OpenPort(pty.slavePath()));
    // Another program holding the line exclusively (without our lock) is refused the same way,
    // except to root, whom the terminal's exclusive mode lets through.
    size_t refusals = 1;
    if (::geteuid() != 0) {
        first.ClosePort();
        int other = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::ioctl(other, TIOCEXCL), 0);
        EXPECT_FALSE(second.OpenPort(pty.slavePath()));
        ::ioctl(other, TIOCNXCL);  // the terminal keeps the mode past a close
        ::close(other);
        ++refusals;
    }
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>(refusals, CannotOpen(msg::PortBusy)));
    first.ClosePort();
    EXPECT_TRUE(second.OpenPort(pty.slavePath()));
}

TEST(SerialPort, RefusedRightsSayHowToGetThem) {
    if (::geteuid() == 0) GTEST_SKIP() << "root is refused no device";
    PtyPair pty;
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    EXPECT_FALSE(port.OpenPort(pty.slavePath()));
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{CannotOpen(msg::PortNoPermission) + "\n" +
                                                        msg::PortPermissionFix});
}

TEST(SerialPort, SomethingThatIsNoSerialLineIsNotOpened) {
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    char path[] = "/tmp/lumo-not-a-port-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_FALSE(port.OpenPort(path));
    EXPECT_FALSE(port.OpenPort(""));
    EXPECT_FALSE(port.PortOpen());
    // No reason the operator could act on: the first line alone.
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>(2, msg::CannotOpenPort));
    // Nothing was written into the file.
    EXPECT_EQ(::truncate(path, 0), 0);
    ::unlink(path);
}

TEST(SerialPort, ClosingTwiceOrBeforeAnyOpenIsHarmless) {
    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    port.ClosePort();
    ASSERT_TRUE(port.OpenPort(pty.slavePath()));
    port.ClosePort();
    port.ClosePort();
    EXPECT_FALSE(port.PortOpen());
    EXPECT_FALSE(writeAll(port, "x"));  // nothing to write to
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST(SerialPort, WriteFailsWithoutHangingWhenTheDeviceWentAway) {
    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(pty.slavePath()));
    pty.hangUp();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(writeAll(port, "~s0000000000000\r\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // A read after the hang-up looks like "nothing arrived".
    auto ex = port.exchange();
    std::uint8_t b;
    EXPECT_FALSE(ex.readByte(b));
}

TEST(SerialPort, WriteThatCannotDrainTimesOut) {
    PtyPair pty;  // the master never reads, so the line's buffer fills up
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(pty.slavePath()));
    const std::string frame = "~D000100000000\r\n";
    bool failed = false;
    for (int i = 0; i < 100000 && !failed; ++i) failed = !writeAll(port, frame);
    EXPECT_TRUE(failed);  // a full line fails the write after its time-out instead of hanging
}

TEST(SerialPort, ClosingGivesTheDeviceItsSettingsBack) {
    PtyPair pty;
    // The terminal as another program left it: canonical, echoing, translating, 19200 baud.
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    before.c_iflag |= ICRNL;
    before.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&before, B19200);
    ::cfsetospeed(&before, B19200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    auto settings = [&] {
        termios tio{};
        EXPECT_EQ(::tcgetattr(fd, &tio), 0);
        return tio;
    };
    ASSERT_EQ(settings().c_lflag, before.c_lflag);
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(pty.slavePath()));
    port.ClosePort();
    const termios after = settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B19200));
    ::close(fd);
}

TEST(SerialPort, TheProgramsOwnTerminalAndDevicesThatAreNoTerminalAreRefused) {
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    EXPECT_FALSE(port.OpenPort("/dev/null"));  // a character device, but no terminal
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CannotOpenPort});

    // A process whose controlling terminal is a pseudo-terminal: neither "/dev/tty" nor that
    // terminal's own name opens, and its settings stay as they were. A pseudo-terminal that is
    // not its own opens.
    PtyPair own, other;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        auto check = [&](bool ok, int bit) { code |= ok ? 0 : bit; };
        check(::setsid() >= 0, 1);
        const int fd = ::open(own.slavePath().c_str(), O_RDWR);  // becomes the controlling terminal
        check(fd >= 0 && ::tcgetsid(fd) == ::getsid(0), 2);
        termios before{}, after{};
        ::tcgetattr(fd, &before);
        for (const std::string& name : {std::string("/dev/tty"), own.slavePath()}) {
            PlatformPortHandle h = serial_device::InvalidHandle;
            serial_device::noteOpenFailure(OpenFailure::Unknown);
            check(!serial_device::open(name, h), 4);
            check(serial_device::lastOpenFailure() == OpenFailure::OwnTerminal, 8);
        }
        ::tcgetattr(fd, &after);
        check(after.c_lflag == before.c_lflag && ::cfgetospeed(&after) == ::cfgetospeed(&before), 16);
        PlatformPortHandle h = serial_device::InvalidHandle;
        check(serial_device::open(other.slavePath(), h), 32);
        serial_device::close(h);
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
    EXPECT_EQ(openFailureText(OpenFailure::OwnTerminal),
              std::string(msg::CannotOpenPort) + "\n" + msg::PortIsOwnTerminal);
}
