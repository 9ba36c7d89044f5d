#pragma once
// A thread that other threads hold and wake with a counted hold, the way a suspend count works:
// the thread's job runs only while the count is 0; every Suspend adds 1; every Resume takes 1
// away when the count is above 0 and is lost when it is 0.
//
// Unlike a real suspend, a hold never freezes the thread where it happens to be: the body
// asks at its own safe points (between two meter exchanges) whether it is held and waits
// there, so a held thread keeps nothing that another thread needs.
//
// The thread is created held (count 1, Waiting). At the end of a job the body holds itself
// again under the same lock that publishes the end of the job, so a wake that follows the
// published end always finds the count above 0 and is never lost.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace lumo {

class HoldableThread {
public:
    enum class State {
        NotStarted,
        Waiting,    // between jobs, held by itself (and maybe by others)
        Running,    // in a job, count 0
        HeldInJob,  // in a job, stopped at a safe point by a hold from another thread
        Stopped,    // the body has returned
    };

    HoldableThread() = default;
    virtual ~HoldableThread();
    HoldableThread(const HoldableThread&) = delete;
    HoldableThread& operator=(const HoldableThread&) = delete;

    // Wake: takes one hold away; lost when the count is 0. Never blocks for long.
    void Resume();
    // Hold: adds one to the count. A job under way stops at its next safe point.
    void Suspend();

    int HoldCount() const;
    State state() const;
    bool JobRunning() const;          // Running or HeldInJob
    std::uint64_t JobsDone() const;   // jobs finished since the start

    // Test and tool helpers: wait (at most `timeout`) for a condition on the thread's state.
    bool waitForState(State s, std::chrono::milliseconds timeout) const;
    bool waitForJobs(std::uint64_t done, std::chrono::milliseconds timeout) const;

    // Asks the body to stop at its next safe point (also when held or waiting) and joins the
    // thread. Idempotent. Must not be called from the thread itself.
    void Stop();

protected:
    // Starts the thread on `body`. Call once, after the object is fully built.
    void start(std::function<void()> body);

    // ---- For the body only ----
    // Waits until a wake brings the count to 0; false when the thread is to stop.
    bool waitForJob();
    // A safe point inside a job: waits while held from outside; false when the thread is to
    // stop (the job should then end).
    bool safePoint();
    // Ends the job: takes the thread's own hold and runs `publish` under the same lock.
    void endJob(const std::function<void()>& publish = {});

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int count_ = 1;
    State state_ = State::NotStarted;
    bool stop_ = false;
    std::uint64_t jobs_ = 0;
    std::thread thread_;
};

}  // namespace lumo
