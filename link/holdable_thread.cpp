#include "link/holdable_thread.h"

namespace lumo {

HoldableThread::~HoldableThread() { Stop(); }

void HoldableThread::start(std::function<void()> body) {
    {
        std::lock_guard lock(mutex_);
        state_ = State::Waiting;
    }
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        std::lock_guard lock(mutex_);
        state_ = State::Stopped;
        changed_.notify_all();
    });
}

void HoldableThread::Resume() {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return;  // not remembered
    if (--count_ == 0) changed_.notify_all();
}

void HoldableThread::Suspend() {
    std::lock_guard lock(mutex_);
    ++count_;
}

int HoldableThread::HoldCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

HoldableThread::State HoldableThread::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool HoldableThread::JobRunning() const {
    std::lock_guard lock(mutex_);
    return state_ == State::Running || state_ == State::HeldInJob;
}

std::uint64_t HoldableThread::JobsDone() const {
    std::lock_guard lock(mutex_);
    return jobs_;
}

bool HoldableThread::waitForState(State s, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return state_ == s; });
}

bool HoldableThread::waitForJobs(std::uint64_t done, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return jobs_ >= done; });
}

void HoldableThread::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool HoldableThread::waitForJob() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ == 0 || stop_; });
    if (stop_) return false;
    state_ = State::Running;
    changed_.notify_all();
    return true;
}

bool HoldableThread::safePoint() {
    std::unique_lock lock(mutex_);
    if (count_ > 0 && !stop_) {
        state_ = State::HeldInJob;
        changed_.notify_all();
        changed_.wait(lock, [&] { return count_ == 0 || stop_; });
        state_ = State::Running;
        changed_.notify_all();
    }
    return !stop_;
}

void HoldableThread::endJob(const std::function<void()>& publish) {
    std::lock_guard lock(mutex_);
    ++count_;
    if (publish) publish();
    state_ = State::Waiting;
    ++jobs_;
    changed_.notify_all();
}

}  // namespace lumo
