#include "sim/meter_server.h"

#include <algorithm>
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

// The bytes of a request frame.
constexpr int RequestSize = 16;

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

std::optional<EchoDamage> echoDamageFromName(std::string_view name) {
    if (name == "drop") return EchoDamage::Drop;
    if (name == "repeat") return EchoDamage::Repeat;
    if (name == "flip") return EchoDamage::Flip;
    return std::nullopt;
}

MeterServer::MeterServer(MeterConfig config, RequestLog log, LineOptions line)
    : model_(config),
      paced_(config.paced),
      hangUpAfter_(config.hangUpAfter),
      line_(std::move(line)),
      log_(std::move(log)),
      echoRandom_(line_.echoDamage.seed) {
    int wake[2], commands[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (::pipe2(commands, O_CLOEXEC | O_NONBLOCK) != 0) {
        closeFd(wakeRead_);
        closeFd(wakeWrite_);
        throw std::runtime_error("no pipe");
    }
    commandRead_ = commands[0];
    commandWrite_ = commands[1];
    plugIn();
    const char* failure = master_ < 0 ? "no pseudo-terminal" : nullptr;
    char target[128] = {};
    if (!failure && !line_.link.empty() &&
        (::readlink(line_.link.c_str(), target, sizeof target - 1) < 0 || devicePath_ != target))
        failure = "cannot make the link";
    if (failure) {
        closeFd(master_);
        for (int* fd : {&wakeRead_, &wakeWrite_, &commandRead_, &commandWrite_}) closeFd(*fd);
        throw std::runtime_error(failure);
    }
    thread_ = std::thread([this] { serve(); });
}

MeterServer::~MeterServer() {
    stop();
    if (master_ >= 0 && !line_.link.empty()) ::unlink(line_.link.c_str());
    closeFd(master_);
    for (int* fd : {&wakeRead_, &wakeWrite_, &commandRead_, &commandWrite_}) closeFd(*fd);
}

void MeterServer::stop() {
    if (!stopping_.exchange(true)) {
        const char b = 1;
        (void)!::write(wakeWrite_, &b, 1);  // never drained: every later wait ends at once
    }
    if (thread_.joinable()) thread_.join();
}

std::string MeterServer::devicePath() const {
    std::lock_guard lock(mutex_);
    return devicePath_;
}

void MeterServer::plugIn() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        closeFd(master);
        return;
    }
    // Raw (the settings of the master are the device's), so no byte is translated on the way,
    // and the settings a program gives back when it closes the port never echo the meter's bytes.
    termios tio{};
    if (::tcgetattr(master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    if (!line_.link.empty()) {
        // The link is replaced in one step, so the program never finds it missing or half made.
        const std::string temp = line_.link + ".new";
        ::unlink(temp.c_str());
        if (::symlink(name, temp.c_str()) != 0 || ::rename(temp.c_str(), line_.link.c_str()) != 0)
            ::unlink(temp.c_str());
    }
    std::lock_guard lock(mutex_);
    devicePath_ = name;
    plugged_ = true;
    changed_.notify_all();
}

void MeterServer::pullOut() {
    if (!line_.link.empty()) ::unlink(line_.link.c_str());
    closeFd(master_);
    std::lock_guard lock(mutex_);
    plugged_ = false;
    changed_.notify_all();
}

void MeterServer::command(char c) {
    const bool plugging = c == 'r';
    if (::write(commandWrite_, &c, 1) != 1) return;
    waitForPlug(plugging, std::chrono::hours(1));
}

void MeterServer::unplug() { command('u'); }
void MeterServer::replug() { command('r'); }

bool MeterServer::pluggedIn() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

bool MeterServer::waitForPlug(bool pluggedIn, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return plugged_ == pluggedIn || stopping_.load(); }) &&
           plugged_ == pluggedIn;
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

int MeterServer::echoesDamaged() const {
    std::lock_guard lock(mutex_);
    return echoesDamaged_;
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
    } else if (line_.unplugAfter >= 0 && count == static_cast<std::size_t>(line_.unplugAfter)) {
        pullOut();
        if (line_.replugAfterMs >= 0) replugAt_ = Clock::now() + std::chrono::milliseconds(line_.replugAfterMs);
    }
}

std::vector<std::uint8_t> MeterServer::echoOf(const std::uint8_t* data, std::size_t size) {
    const EchoDamageRule& rule = line_.echoDamage;
    std::vector<std::uint8_t> echo;
    echo.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        // Where the byte stands in a request frame, found as the meter's reader finds frames:
        // a '~' starts one, and starts it again within its first 14 bytes.
        int at = -1;
        if (byte == '~' && echoNext_ < 14) at = 0;
        else if (echoNext_ >= 0) at = echoNext_;
        echoNext_ = at >= 0 && at + 1 < RequestSize ? at + 1 : -1;

        bool damaged = rule.damage != EchoDamage::None && (rule.limit < 0 || echoesDamaged_ < rule.limit);
        if (damaged && rule.offset >= 0) damaged = at == rule.offset;
        else if (damaged) damaged = std::uniform_real_distribution<double>(0, 1)(echoRandom_) < rule.chance;
        if (!damaged) {
            echo.push_back(byte);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            ++echoesDamaged_;
        }
        if (rule.damage == EchoDamage::Repeat) echo.insert(echo.end(), 2, byte);
        if (rule.damage == EchoDamage::Flip) echo.push_back(static_cast<std::uint8_t>(byte ^ rule.bits));
    }
    return echo;
}

void MeterServer::serve() {
    raisePriority();
    std::uint8_t buf[512];
    int rejectsSeen = 0;
    while (!stopping_.load()) {
        // Unplugged or hung up, only a command (or the time to plug in again) wakes it.
        pollfd p[3] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {commandRead_, POLLIN, 0}};
        int timeout = -1;
        if (replugAt_ != Clock::time_point::max())
            timeout = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(replugAt_ - Clock::now()).count() + 1));
        const int ready = ::poll(p, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;  // stop
        if (replugAt_ <= Clock::now()) {
            replugAt_ = Clock::time_point::max();
            if (master_ < 0) plugIn();
        }
        if (p[2].revents & POLLIN) {
            char c = 0;
            while (::read(commandRead_, &c, 1) == 1) {
                if (c == 'u' && master_ >= 0) pullOut();
                if (c == 'r' && master_ < 0) plugIn();
            }
            continue;
        }
        if (master_ < 0 || !p[0].revents) continue;
        ssize_t n = 0;
        if (p[0].revents & POLLIN) n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // No one has the device open (a hang-up, or EIO on reading): wait and look again.
            if (!sleepUntil(Clock::now() + IdleRetry)) break;
            continue;
        }
        // A line that echoes gives every byte straight back, before the meter answers.
        if (line_.echo) {
            const auto echo = echoOf(buf, static_cast<std::size_t>(n));
            writeAll(echo.data(), echo.size());
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
    // Woken waiters see the end.
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

}  // namespace lumo::sim
