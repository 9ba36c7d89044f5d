// The serial device on Linux and other POSIX systems: termios in raw mode.
#include "link/serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace lumo::serial_device {

const PlatformPortHandle InvalidHandle = -1;

std::string devicePath(const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    // COMn is the n-th serial line: /dev/ttyS0 for COM1 (the mapping Wine uses too).
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0)) {
        std::string digits = name.substr(3);
        bool allDigits = digits.size() <= 3;
        for (char c : digits) allDigits = allDigits && c >= '0' && c <= '9';
        if (allDigits) {
            int n = std::atoi(digits.c_str());
            if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + name;
}

namespace {

// Each open port's terminal settings from before it was opened, given back when it closes.
std::mutex savedMutex;
std::map<int, termios> savedSettings;

bool applyLineSettings(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0) return false;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    // DTR and RTS off; a pseudo-terminal has no modem lines, so this is best effort.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIC, &lines);
    return true;
}

// The terminal the program itself runs in: its controlling terminal, or the one its standard
// streams are on. Opening it as the meter's port would send requests into the operator's
// terminal and leave it raw.
bool isOwnTerminal(int fd) {
    if (::tcgetsid(fd) != -1) return true;  // succeeds only on the caller's controlling terminal
    struct stat device {};
    if (::fstat(fd, &device) != 0) return false;
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat s {};
        if (::isatty(stream) && ::fstat(stream, &s) == 0 && s.st_rdev == device.st_rdev) return true;
    }
    return false;
}

// What an error of open(), flock() or the terminal calls means to the operator.
OpenFailure reasonFor(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:  // a built-in port name without the hardware behind it
        return OpenFailure::NoDevice;
    case EBUSY:        // another opener holds the terminal's exclusive mode
    case EWOULDBLOCK:  // or our lock
        return OpenFailure::Busy;
    case EACCES:
    case EPERM:
        return OpenFailure::NoPermission;
    default:
        return OpenFailure::Unknown;
    }
}

bool failed(int error) {
    noteOpenFailure(reasonFor(error));
    return false;
}

// The errors of a device that is no longer there: a USB adapter pulled out (its terminal hung
// up), a pseudo-terminal whose other side closed.
bool goneError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

}  // namespace

// Every reason for a failure is cheap to find here: `explain` changes nothing.
bool open(const std::string& name, PlatformPortHandle& handle, bool /*explain*/) {
    if (name.empty()) return false;
    const std::string path = devicePath(name);
    // Only a character device is opened at all: a file, a folder or a pipe is no port, and
    // opening it could have effects of its own.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return failed(errno);
    if (!S_ISCHR(st.st_mode)) return false;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(errno);
    // A character device that is no terminal (/dev/null, /dev/zero) is no serial line either;
    // the program's own terminal is one, but not the meter's.
    if (!::isatty(fd)) {
        ::close(fd);
        return false;
    }
    if (isOwnTerminal(fd)) {
        ::close(fd);
        noteOpenFailure(OpenFailure::OwnTerminal);
        return false;
    }
    // No second opener, ours or another program's: an advisory lock for cooperating programs,
    // and the terminal's exclusive mode for everyone else without special rights.
    termios original{};
    const bool saved = ::tcgetattr(fd, &original) == 0;
    if (!saved || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || !applyLineSettings(fd) ||
        ::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        if (saved) (void)::tcsetattr(fd, TCSANOW, &original);
        ::close(fd);
        return failed(error);
    }
    ::tcflush(fd, TCIOFLUSH);
    {
        std::lock_guard lock(savedMutex);
        savedSettings[fd] = original;
    }
    handle = fd;
    return true;
}

void close(PlatformPortHandle handle) {
    if (handle < 0) return;
    {
        std::lock_guard lock(savedMutex);
        if (auto it = savedSettings.find(handle); it != savedSettings.end()) {
            (void)::tcsetattr(handle, TCSANOW, &it->second);  // fails harmlessly on a vanished device
            savedSettings.erase(it);
        }
    }
    (void)::ioctl(handle, TIOCNXCL);
    ::close(handle);
}

bool present(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(devicePath(name).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

Transfer write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size) {
    using clock = std::chrono::steady_clock;
    // The write time-out of the line: 100 ms per byte plus 10 ms for the whole block.
    const auto deadline = clock::now() + std::chrono::milliseconds(100 * size + 10);
    std::size_t done = 0;
    bool hungUp = false;
    while (done < size) {
        ssize_t n = ::write(handle, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && goneError(errno)) return Transfer::DeviceGone;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Transfer::Failed;
        if (hungUp) return Transfer::DeviceGone;  // a hung-up line that takes no more bytes
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) return Transfer::Failed;  // timed out part-way: a failed write
        pollfd p{handle, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) return Transfer::Failed;
        if (r > 0 && (p.revents & POLLNVAL)) return Transfer::Failed;
        if (r > 0 && (p.revents & (POLLERR | POLLHUP))) hungUp = true;  // the next write tells why
    }
    return Transfer::Done;
}

Transfer readByte(PlatformPortHandle handle, std::uint8_t& byte) {
    for (;;) {
        ssize_t n = ::read(handle, &byte, 1);
        if (n == 1) return Transfer::Done;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && goneError(errno)) return Transfer::DeviceGone;
        // Nothing arrived (EAGAIN, or 0 with a read time of 0): no byte. A terminal hung up
        // under us reads 0 too; the next write finds it gone.
        return Transfer::Nothing;
    }
}

}  // namespace lumo::serial_device
