#include "sim/meter_server.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace lumo::sim {

namespace {

// While no one has the device open the master side reports a hang-up; look again this often.
constexpr auto IdleRetry = std::chrono::milliseconds(5);

const auto ByteTime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
    std::chrono::duration<double>(ByteSeconds));

// A meter answers in its own time, whatever load the computer is under: the serving thread
// asks for a real-time priority, or failing that a raised one, where the system allows it.
// It spends nearly all its time waiting, so it takes little from anyone.
void raisePriority() {
    sched_param param{};
    param.sched_priority = 1;
    if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0) return;
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -10);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

MeterServer::MeterServer(MeterConfig config, RequestLog log)
    : model_(config), paced_(config.paced), hangUpAfter_(config.hangUpAfter), log_(std::move(log)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        closeFd(master_);
        throw std::runtime_error("no pseudo-terminal");
    }
    devicePath_ = name;
    termios tio{};
    if (::tcgetattr(master_, &tio) == 0) {  // raw, so no byte is translated on the way
        ::cfmakeraw(&tio);
        ::tcsetattr(master_, TCSANOW, &tio);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        closeFd(master_);
        throw std::runtime_error("no pipe");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    thread_ = std::thread([this] { serve(); });
}

MeterServer::~MeterServer() {
    stop();
    closeFd(master_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

void MeterServer::stop() {
    if (!stopping_.exchange(true)) {
        const char b = 1;
        (void)!::write(wakeWrite_, &b, 1);  // never drained: every later wait ends at once
    }
    if (thread_.joinable()) thread_.join();
}

std::vector<Request> MeterServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t MeterServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

int MeterServer::rejects() const {
    std::lock_guard lock(mutex_);
    return rejects_;
}

int MeterServer::faultsInjected() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

bool MeterServer::hungUp() const {
    std::lock_guard lock(mutex_);
    return hungUp_;
}

bool MeterServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool MeterServer::waitForHangUp(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return hungUp_; });
}

bool MeterServer::sleepUntil(Clock::time_point t) {
    for (;;) {
        if (stopping_.load()) return false;
        const auto left = t - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{wakeRead_, POLLIN, 0};
        ::ppoll(&p, 1, &ts, nullptr);
    }
}

bool MeterServer::writeAll(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (stopping_.load()) return false;
        ssize_t n = ::write(master_, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p[2] = {{master_, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
            ::poll(p, 2, 100);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;  // the program closed the device: the rest of the reply is lost
        }
    }
    return true;
}

void MeterServer::send(const std::vector<std::uint8_t>& bytes) {
    if (!paced_ && !model_.lastAnswerBabbles()) {
        writeAll(bytes.data(), bytes.size());
        return;
    }
    // The request has just arrived in one piece; on a real line its last byte would come
    // 16 byte times after its first. Each reply byte is there once its 10 bits are through.
    const auto start = Clock::now() + 16 * ByteTime;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (!sleepUntil(start + static_cast<int>(k + 1) * ByteTime)) return;
        if (!writeAll(&bytes[k], 1)) return;
    }
}

void MeterServer::handle(const Request& request) {
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        count = requests_.size();
        changed_.notify_all();
    }
    if (log_) log_(request);
    const auto reply = model_.answer(request);
    {
        std::lock_guard lock(mutex_);
        faults_ = model_.faultsApplied();
    }
    send(reply);
    if (hangUpAfter_ >= 0 && count >= static_cast<std::size_t>(hangUpAfter_)) {
        closeFd(master_);
        std::lock_guard lock(mutex_);
        hungUp_ = true;
        changed_.notify_all();
    }
}

void MeterServer::serve() {
    raisePriority();
    std::uint8_t buf[512];
    int rejectsSeen = 0;
    while (!stopping_.load() && master_ >= 0) {
        pollfd p[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;  // stop
        ssize_t n = 0;
        if (p[0].revents & POLLIN) n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // No one has the device open (a hang-up, or EIO on reading): wait and look again.
            if (!sleepUntil(Clock::now() + IdleRetry)) break;
            continue;
        }
        for (ssize_t i = 0; i < n && master_ >= 0; ++i) {
            auto request = reader_.feed(buf[i]);
            if (reader_.rejects() != rejectsSeen) {
                rejectsSeen = reader_.rejects();
                std::lock_guard lock(mutex_);
                rejects_ = rejectsSeen;
                changed_.notify_all();
            }
            if (request) handle(*request);
        }
    }
}

}  // namespace lumo::sim
