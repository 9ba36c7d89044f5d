#pragma once
// The simulated meter on a pseudo-terminal, served by a thread of its own: the program opens
// devicePath() as its serial port. POSIX only.
//
// The server keeps serving while the program closes and reopens the port (the master side
// reports a hang-up while no one has the device open: it waits and tries again). With pacing
// it answers like a 9600-baud line: it first waits for the request's own line time, then
// sends the reply one byte every 1.04 ms. It logs every request it receives and counts the
// reject bytes. stop() (and the destructor) ends the thread at once, also mid-reply.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/meter_model.h"

namespace lumo::sim {

class MeterServer {
public:
    // Called on the server's thread for every request received.
    using RequestLog = std::function<void(const Request&)>;

    // Opens the pseudo-terminal and starts serving; throws std::runtime_error without one.
    explicit MeterServer(MeterConfig config, RequestLog log = {});
    ~MeterServer();
    MeterServer(const MeterServer&) = delete;
    MeterServer& operator=(const MeterServer&) = delete;

    const std::string& devicePath() const { return devicePath_; }
    void stop();

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    int rejects() const;
    // Replies spoiled by the configured faults so far.
    int faultsInjected() const;
    // The server hung up after the configured number of requests; the device is gone.
    bool hungUp() const;

    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForHangUp(std::chrono::milliseconds timeout) const;

private:
    using Clock = std::chrono::steady_clock;
    void serve();
    void handle(const Request& request);
    // Sleeps until `t` unless stopped; false when stopped.
    bool sleepUntil(Clock::time_point t);
    void send(const std::vector<std::uint8_t>& bytes);
    bool writeAll(const std::uint8_t* data, std::size_t size);

    MeterModel model_;
    const bool paced_;
    const int hangUpAfter_;
    RequestLog log_;
    RequestReader reader_;
    int master_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::string devicePath_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Request> requests_;
    int rejects_ = 0;
    int faults_ = 0;
    bool hungUp_ = false;

    std::thread thread_;
};

}  // namespace lumo::sim
