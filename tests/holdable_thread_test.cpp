#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "link/holdable_thread.h"

using namespace lumo;
using namespace std::chrono_literals;

namespace {

constexpr auto Long = 10s;  // generous bound for conditions that come within milliseconds

// A job of `steps` exchanges; each exchange waits until the test lets it through, so the test
// decides where the job stands when it holds or wakes.
class SteppedJob : public HoldableThread {
public:
    explicit SteppedJob(int steps) : steps_(steps) {
        start([this] {
            while (waitForJob()) {
                for (int i = 0; i < steps_ && safePoint(); ++i) exchange();
                endJob([this] { published_ = true; });
            }
        });
    }
    ~SteppedJob() override {
        letThrough(1 << 30);
        Stop();
    }

    // Lets `n` more exchanges finish.
    void letThrough(int n) {
        std::lock_guard lock(mutex_);
        allowed_ += n;
        cv_.notify_all();
    }
    // Waits until `n` exchanges have started in all.
    bool waitForStarted(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, Long, [&] { return started_ >= n; });
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }
    bool published() const { return published_; }
    void clearPublished() { published_ = false; }
    // Watches the published flag alone, the way the window watches MemoryBusy.
    bool waitForPublished() {
        const auto deadline = std::chrono::steady_clock::now() + Long;
        while (!published_) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

private:
    void exchange() {
        std::unique_lock lock(mutex_);
        ++started_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return allowed_ >= started_; });
    }

    const int steps_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int started_ = 0, allowed_ = 0;
    std::atomic<bool> published_{false};
};

}  // namespace

TEST(HoldableThread, StartsHeldAndRunsOneJobPerWake) {
    SteppedJob job(3);
    EXPECT_EQ(job.state(), HoldableThread::State::Waiting);
    EXPECT_EQ(job.HoldCount(), 1);
    EXPECT_EQ(job.started(), 0);

    job.letThrough(3);
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_EQ(job.started(), 3);
    EXPECT_TRUE(job.published());
    EXPECT_EQ(job.state(), HoldableThread::State::Waiting);
    EXPECT_EQ(job.HoldCount(), 1);  // the job held itself again
}

TEST(HoldableThread, WakeWhileRunningIsLost) {
    SteppedJob job(2);
    job.Resume();
    ASSERT_TRUE(job.waitForStarted(1));
    EXPECT_TRUE(job.JobRunning());
    job.Resume();  // count is 0: not remembered
    EXPECT_EQ(job.HoldCount(), 0);
    job.letThrough(2);
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_EQ(job.HoldCount(), 1);
    EXPECT_EQ(job.state(), HoldableThread::State::Waiting);

    job.letThrough(2);
    job.Resume();  // the next job starts only with a wake while waiting
    ASSERT_TRUE(job.waitForJobs(2, Long));
    EXPECT_EQ(job.started(), 4);
}

TEST(HoldableThread, HoldOnAWaitingThreadTakesTwoWakes) {
    SteppedJob job(1);
    job.letThrough(10);
    job.Suspend();
    EXPECT_EQ(job.HoldCount(), 2);
    job.Resume();
    EXPECT_EQ(job.HoldCount(), 1);
    EXPECT_EQ(job.state(), HoldableThread::State::Waiting);
    EXPECT_EQ(job.JobsDone(), 0u);
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(1, Long));
    // Wakes beyond the count are not stored up.
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(2, Long));
    job.Resume();
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(3, Long));
    EXPECT_EQ(job.HoldCount(), 1);
}

TEST(HoldableThread, HoldDuringAJobStopsItAtTheNextSafePointAndItCarriesOn) {
    SteppedJob job(4);
    job.letThrough(1);
    job.Resume();
    ASSERT_TRUE(job.waitForStarted(2));  // inside the second exchange
    job.Suspend();
    job.letThrough(1);  // the second exchange ends; the hold stops the job before the third
    ASSERT_TRUE(job.waitForState(HoldableThread::State::HeldInJob, Long));
    EXPECT_EQ(job.started(), 2);
    EXPECT_TRUE(job.JobRunning());
    job.letThrough(2);
    job.Resume();
    ASSERT_TRUE(job.waitForJobs(1, Long));
    EXPECT_EQ(job.started(), 4);  // the job went on where it stood
}

TEST(HoldableThread, WakeRightAfterThePublishedEndIsNeverLost) {
    // The way the window follows a download: it sees the end published and wakes at once.
    // The thread must already be holding itself by then.
    SteppedJob job(0);
    for (int i = 1; i <= 300; ++i) {
        job.clearPublished();
        job.Resume();
        ASSERT_TRUE(job.waitForPublished()) << "wake " << i << " lost";
    }
}

TEST(HoldableThread, StopEndsAWaitingOrHeldThread) {
    {
        SteppedJob waiting(1);
        waiting.Suspend();
        waiting.Stop();
        EXPECT_EQ(waiting.state(), HoldableThread::State::Stopped);
        EXPECT_EQ(waiting.JobsDone(), 0u);
    }
    SteppedJob held(3);
    held.Resume();
    ASSERT_TRUE(held.waitForStarted(1));
    held.Suspend();
    held.letThrough(1);
    ASSERT_TRUE(held.waitForState(HoldableThread::State::HeldInJob, Long));
    held.Stop();
    EXPECT_EQ(held.state(), HoldableThread::State::Stopped);
    EXPECT_EQ(held.started(), 1);
    EXPECT_TRUE(held.published());  // the job's end is still published
    held.Stop();                    // twice is harmless
}
