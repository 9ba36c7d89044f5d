// The serial device on Linux and other POSIX systems: termios in raw mode.
#include "link/serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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
        return OpenFailure::Unknown;  // for example a file that is no terminal (ENOTTY)
    }
}

bool failed(int error) {
    noteOpenFailure(reasonFor(error));
    return false;
}

}  // namespace

bool open(const std::string& name, PlatformPortHandle& handle) {
    if (name.empty()) return false;
    const std::string path = devicePath(name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(errno);
    // No second opener, ours or another program's: an advisory lock for cooperating programs,
    // and the terminal's exclusive mode for everyone else without special rights.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !applyLineSettings(fd) ||
        ::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        return failed(error);
    }
    ::tcflush(fd, TCIOFLUSH);
    handle = fd;
    return true;
}

void close(PlatformPortHandle handle) {
    if (handle < 0) return;
    (void)::ioctl(handle, TIOCNXCL);
    ::close(handle);
}

bool write(PlatformPortHandle handle, const std::uint8_t* data, std::size_t size) {
    using clock = std::chrono::steady_clock;
    // The write time-out of the line: 100 ms per byte plus 10 ms for the whole block.
    const auto deadline = clock::now() + std::chrono::milliseconds(100 * size + 10);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(handle, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) return false;  // timed out part-way: a failed write
        pollfd p{handle, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) return false;
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL))) return false;
    }
    return true;
}

bool readByte(PlatformPortHandle handle, std::uint8_t& byte) {
    for (;;) {
        ssize_t n = ::read(handle, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;  // nothing arrived (EAGAIN), end of file, or an error: no byte
    }
}

}  // namespace lumo::serial_device
