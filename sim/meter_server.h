#pragma once
// The simulated meter on a pseudo-terminal, served by a thread of its own: the program opens
// devicePath() (or the line's link) as its serial port. POSIX only.
//
// The server keeps serving while the program closes and reopens the port (the master side
// reports a hang-up while no one has the device open: it waits and tries again). With pacing
// it answers like a 9600-baud line: it first waits for the request's own line time, then
// sends the reply one byte every 1.04 ms. It logs every request it receives and counts the
// reject bytes. stop() (and the destructor) ends the thread at once, also mid-reply.
//
// The line can echo every byte it receives (as RS-485 adapters and loopback plugs do), losing,
// repeating or garbling bytes of its echo where told to, and
// the meter can be unplugged and plugged in again like a USB adapter: its pseudo-terminal
// closes (the program's reads and writes fail as with a device pulled out) and a new one
// comes, behind the same link when the line has one.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/meter_model.h"

namespace lumo::sim {

// What an echoing line does to the bytes it gives back.
enum class EchoDamage { None, Drop, Repeat, Flip };

// The names the tool accepts: drop, repeat, flip.
std::optional<EchoDamage> echoDamageFromName(std::string_view name);

// Which echoed bytes are damaged: the byte at one offset of each request frame, or any byte by
// chance; at most `limit` of them (every one when negative).
struct EchoDamageRule {
    EchoDamage damage = EchoDamage::None;
    int offset = -1;             // the request's byte (0 to 15); negative: by chance
    double chance = 0;           // with no offset: the chance of each echoed byte (0.01 is 1 %)
    int limit = -1;
    std::uint8_t bits = 0x01;    // Flip: the bits turned over
    std::uint32_t seed = 2210;   // of the chance
};

// The line between the program and the meter.
struct LineOptions {
    bool echo = false;      // every byte received goes back at once, before any reply
    EchoDamageRule echoDamage{};  // with echo: bytes of the echo lost, repeated or garbled
    std::string link{};     // a symbolic link to the device, kept pointing at it across replugs
    int unplugAfter = -1;   // unplug by itself after answering this many requests...
    int replugAfterMs = -1; // ...and plug in again this long afterwards (never when negative)
};

class MeterServer {
public:
    // Called on the server's thread for every request received.
    using RequestLog = std::function<void(const Request&)>;

    // Opens the pseudo-terminal (and makes the link) and starts serving; throws
    // std::runtime_error without one.
    explicit MeterServer(MeterConfig config, RequestLog log = {}, LineOptions line = {});
    ~MeterServer();
    MeterServer(const MeterServer&) = delete;
    MeterServer& operator=(const MeterServer&) = delete;

    // The device now; a replug makes a new one.
    std::string devicePath() const;
    void stop();

    // Pulls the cable: the pseudo-terminal closes and the link goes. Returns once done.
    void unplug();
    // Plugs it in again: a new pseudo-terminal and the link to it. Returns once done.
    void replug();
    bool pluggedIn() const;

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    int rejects() const;
    // Replies spoiled by the configured faults so far.
    int faultsInjected() const;
    // Echoed bytes damaged so far.
    int echoesDamaged() const;
    // The server hung up after the configured number of requests; the device is gone.
    bool hungUp() const;

    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForHangUp(std::chrono::milliseconds timeout) const;
    bool waitForPlug(bool pluggedIn, std::chrono::milliseconds timeout) const;

private:
    using Clock = std::chrono::steady_clock;
    void serve();
    void handle(const Request& request);
    // Sleeps until `t` unless stopped; false when stopped.
    bool sleepUntil(Clock::time_point t);
    void send(const std::vector<std::uint8_t>& bytes);
    bool writeAll(const std::uint8_t* data, std::size_t size);
    // On the serving thread: a new pseudo-terminal (and the link to it), or none.
    void plugIn();
    void pullOut();
    void command(char c);
    // The line's echo of received bytes, damaged as the rule says.
    std::vector<std::uint8_t> echoOf(const std::uint8_t* data, std::size_t size);

    MeterModel model_;
    const bool paced_;
    const int hangUpAfter_;
    const LineOptions line_;
    RequestLog log_;
    RequestReader reader_;
    int master_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;        // stop: written once, never drained
    int commandRead_ = -1, commandWrite_ = -1;  // unplug and replug
    Clock::time_point replugAt_ = Clock::time_point::max();
    int echoNext_ = -1;  // the offset in a request frame of the next byte echoed, or -1
    std::mt19937 echoRandom_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string devicePath_;
    std::vector<Request> requests_;
    int rejects_ = 0;
    int faults_ = 0;
    int echoesDamaged_ = 0;
    bool hungUp_ = false;
    bool plugged_ = false;

    std::thread thread_;
};

}  // namespace lumo::sim
