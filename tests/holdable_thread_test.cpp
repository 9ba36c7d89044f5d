#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "link/holdable_thread.h"

using namespace lumo;
using namespace std::chrono_literals;
using State = HoldableThread::State;

namespace {

constexpr auto Long = 10s;  // generous bound for what comes within milliseconds

// A job of `steps` exchanges, each of which waits until the test lets it through, so the
// test decides where the job stands when it holds or wakes.
class SteppedJob : public HoldableThread {
public:
    explicit SteppedJob(int steps) {
        start([this, steps] {
            while (waitForJob()) {
                for (int i = 0; i < steps && safePoint(); ++i) exchange();
                endJob([this] { published = true; });
            }
        });
    }
    ~SteppedJob() override {
        letThrough(1 << 30);
        Stop();
    }
    void letThrough(int n) {
        std::lock_guard lock(mutex_);
        allowed_ += n;
        cv_.notify_all();
    }
    bool waitForStarted(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, Long, [&] { return started_ >= n; });
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    std::atomic<bool> published{false};

private:
    void exchange() {
        std::unique_lock lock(mutex_);
        ++started_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return allowed_ >= started_; });
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    int started_ = 0, allowed_ = 0;
};

}  // namespace

TEST(HoldableThread, StartsHeldAndAWakeWhileRunningIsLost) {
    SteppedJob job(2);
    EXPECT_EQ(job.state(), State::Waiting);
    EXPECT_EQ(job.HoldCount(), 1);
    job.Resume();
    ASSERT_TRUE(job.waitForStarted(1));
    EXPECT_TRUE(job.JobRunning());
    job.Resume();  // count 0: not remembered
    job.letThrough(2);
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_TRUE(job.published);
    EXPECT_EQ(job.HoldCount(), 1);  // held by itself again
    EXPECT_EQ(job.state(), State::Waiting);
    EXPECT_EQ(job.started(), 2);
}

TEST(HoldableThread, HoldOnAWaitingThreadTakesTwoWakes) {
    SteppedJob job(1);
    job.letThrough(10);
    job.Suspend();
    job.Resume();
    EXPECT_EQ(job.HoldCount(), 1);
    EXPECT_EQ(job.state(), State::Waiting);
    EXPECT_EQ(job.JobsDone(), 0u);
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_EQ(job.HoldCount(), 1);
}

TEST(HoldableThread, HoldDuringAJobStopsItAtTheNextSafePointAndItCarriesOn) {
    SteppedJob job(4);
    job.letThrough(1);
    job.Resume();
    ASSERT_TRUE(job.waitForStarted(2));  // inside the second exchange
    job.Suspend();
    job.letThrough(1);  // the second ends; the hold stops the job before the third
    ASSERT_TRUE(job.waitForState(State::HeldInJob, Long));
    EXPECT_EQ(job.started(), 2);
    job.letThrough(2);
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_EQ(job.started(), 4);  // went on where it stood
}

TEST(HoldableThread, WakeRightAfterThePublishedEndIsNeverLost) {
    // The way the window follows a download: it watches the published end alone and wakes
    // at once. The thread must be holding itself by then.
    SteppedJob job(0);
    for (int i = 1; i <= 300; ++i) {
        job.published = false;
        job.Resume();
        const auto deadline = std::chrono::steady_clock::now() + Long;
        while (!job.published) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "wake " << i << " lost";
            std::this_thread::yield();
        }
    }
}
