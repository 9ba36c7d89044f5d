#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "common/messages.h"
#include "link/workers.h"
#include "support/sim_line.h"

using namespace lumo;
using namespace lumo::test;
using namespace std::chrono_literals;
using State = HoldableThread::State;
using Store = ReadingsStore;

namespace {

constexpr auto Long = 30s;  // generous bound for jobs that take well under a second
const std::string None = meter::NoValue;

std::string commaText(std::string field) {
    if (auto dot = field.find('.'); dot != std::string::npos) field[dot] = ',';
    return field;
}

// The live texts after `jobs` jobs of a fault-free meter: a model of its own, asked the same
// requests in the same order, answers exactly as the served one.
std::vector<std::string> expectedLiveTexts(int jobs = 1) {
    sim::MeterModel model({});
    std::vector<std::string> texts(19);
    for (int job = 0; job < jobs; ++job)
        for (int n = 1; n <= 18; ++n) {
            auto reply = model.answer({'D', static_cast<std::uint16_t>(n), 0});
            texts[n] = liveText(commaText(std::string(reply.begin() + 6, reply.begin() + 14)));
        }
    return texts;
}

// Statistic `which` (0 min, 1 max, 2 average) of period p, parameter n, as stored.
std::string memoryText(const sim::MeterConfig& config, int p, int n, int which) {
    const sim::Statistic s = sim::MeterModel(config).statistic(p, n);
    return commaText(sim::decimalField(which == 0 ? s.min : which == 1 ? s.max : s.avg));
}

const std::vector<int> OneLiveJob = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};

// A meter on a pseudo-terminal, the port opened on it, a store and the two workers.
class Link : public SimLine {
public:
    explicit Link(const sim::MeterConfig& config) : SimLine(config) { EXPECT_TRUE(opened); }

    std::string current(int n) const { return store.CurrentValues[static_cast<size_t>(n)].get(); }
    std::string memory(int index) const { return (*store.MemoryValues)[static_cast<size_t>(index)].get(); }
    void setMemory(int index, std::string t) { (*store.MemoryValues)[static_cast<size_t>(index)].set(std::move(t)); }

    // Starts a download the way the window does.
    void startDownload() {
        store.MemoryBusy = true;
        mem.Resume();
    }
    void runJob(TComThread& worker) {
        const auto done = worker.JobsDone();
        &worker == &mem ? startDownload() : worker.Resume();
        ASSERT_TRUE(worker.waitForJobs(done + 1, Long));
    }
    int requestsFor(char command, int param = -1, int period = -1) const {
        int count = 0;
        for (const auto& r : meter.requests())
            count += r.command == command && (param < 0 || r.param() == param) &&
                     (period < 0 || r.period() == period);
        return count;
    }
    // The live requests in order, by parameter number, repeats counted once.
    std::vector<int> liveParamsAsked() const {
        std::vector<int> asked;
        for (const auto& r : requestsAsked())
            if (r.command == 'D') asked.push_back(r.param());
        return asked;
    }

    Store store;
    TTekCom tek{port, store, dialogs};
    TMemCom mem{port, store, dialogs};
};

sim::MeterConfig withFaults(std::vector<sim::FaultRule> faults, int periods = 5) {
    sim::MeterConfig c;
    c.periods = periods;
    c.faults = std::move(faults);
    return c;
}

}  // namespace

TEST(WorkerTexts, LiveConversionAndPeriodCount) {
    EXPECT_EQ(liveText("0230,500"), "230,5");
    EXPECT_EQ(liveText("-000,000"), "0");
    EXPECT_EQ(liveText("OVERLOAD"), None);
    EXPECT_EQ(TMemCom::periodCountFrom("0000000A"), 10);
    EXPECT_EQ(TMemCom::periodCountFrom("00000064"), 99);
    EXPECT_EQ(TMemCom::periodCountFrom("FFFFFFFF"), 0);
    EXPECT_EQ(TMemCom::periodCountFrom(None), 0);
}

// ---- The live worker ----

TEST(LiveWorker, NothingIsSentBeforeTheFirstWake) {
    Link link(sim::MeterConfig{});
    EXPECT_EQ(link.tek.state(), State::Waiting);
    EXPECT_EQ(link.mem.state(), State::Waiting);
    // A probe of our own goes through the meter after anything the workers could have sent.
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.requestsAsked(), (std::vector<sim::Request>{{'s', 0, 0}}));
    EXPECT_EQ(link.current(1), "");
}

TEST(LiveWorker, JobStoresTheEighteenConvertedReadings) {
    Link link(sim::MeterConfig{});
    link.runJob(link.tek);
    EXPECT_EQ(link.liveParamsAsked(), OneLiveJob);
    const auto expected = expectedLiveTexts();
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(link.current(n), expected[n]) << n;
    EXPECT_EQ(link.current(0), "");
    EXPECT_EQ(link.current(19), "");
    EXPECT_EQ(link.tek.HoldCount(), 1);
}

TEST(LiveWorker, ReplyCarryingAnotherParameterLandsInItsSlot) {
    // 5's reply says 06 and 6's says 07: slot 6 ends with 5's value, slot 5 keeps its text.
    Link link(withFaults({
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 5, .reportedParam = 6},
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 6, .reportedParam = 7},
        // Numbers outside 1 to 18 count as failed requests: "нет" in the slot asked for.
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 3, .reportedParam = 19},
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 4, .reportedParam = 0},
    }));
    link.store.CurrentValues[5].set("earlier");
    link.store.CurrentValues[19].set("earlier");
    link.runJob(link.tek);
    const auto expected = expectedLiveTexts();
    EXPECT_EQ(link.current(5), "earlier");
    EXPECT_EQ(link.current(6), expected[5]);
    EXPECT_EQ(link.current(7), expected[7]);
    EXPECT_EQ(link.current(3), None);
    EXPECT_EQ(link.current(4), None);
    EXPECT_EQ(link.current(19), "earlier");
    EXPECT_GE(link.requestsFor('D', 3), 2);  // asked a second time
}

struct LiveFaultCase {
    const char* name;
    sim::Fault fault;
    bool readable;  // the reply is good and its value is stored
    int sends;      // sends for the parameter when its replies are bad
};

void PrintTo(const LiveFaultCase& c, std::ostream* os) { *os << c.name; }

class LiveWorkerFault : public ::testing::TestWithParam<LiveFaultCase> {};

TEST_P(LiveWorkerFault, SpoiledParameterShowsNoneInItsOwnSlotAndTheOthersAreRead) {
    const LiveFaultCase& c = GetParam();
    Link link(withFaults({{.fault = c.fault, .command = 'D', .param = 3}}));
    link.runJob(link.tek);
    link.runJob(link.tek);  // the leftovers of a fault do not disturb the next job
    const auto expected = expectedLiveTexts(2);
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(link.current(n), n == 3 && !c.readable ? None : expected[n]) << n;
    if (c.sends) {
        EXPECT_EQ(link.requestsFor('D', 3), 2 * c.sends);
    }
    std::vector<int> twoJobs = OneLiveJob;
    twoJobs.insert(twoJobs.end(), OneLiveJob.begin(), OneLiveJob.end());
    EXPECT_EQ(link.liveParamsAsked(), twoJobs);
    EXPECT_TRUE(link.port.PortOpen());
    EXPECT_TRUE(link.dialogs.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, LiveWorkerFault,
                         ::testing::Values(LiveFaultCase{"Silence", sim::Fault::Silence, false, 8},
                                           LiveFaultCase{"StrayByte", sim::Fault::StrayByte, false, 8},
                                           LiveFaultCase{"ShortReply", sim::Fault::ShortReply, false, 8},
                                           LiveFaultCase{"WrongEcho", sim::Fault::WrongEcho, false, 8},
                                           LiveFaultCase{"NonHexParam", sim::Fault::NonHexParam, false, 8},
                                           LiveFaultCase{"NotANumber", sim::Fault::NotANumber, false, 0},
                                           LiveFaultCase{"LongReply", sim::Fault::LongReply, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LiveWorker, HangUpMidJobTellsOnceClosesThePortAndLaterJobsAreSilent) {
    Link link({.hangUpAfter = 5});
    link.runJob(link.tek);
    EXPECT_EQ(link.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(link.port.PortOpen());
    EXPECT_EQ(link.current(4), expectedLiveTexts()[4]);
    for (int n = 6; n <= 18; ++n) EXPECT_EQ(link.current(n), None);
    link.runJob(link.tek);
    EXPECT_EQ(link.dialogs.messages().size(), 1u);
    EXPECT_EQ(link.current(1), None);
}

TEST(LiveWorker, ExceptionLeavingAJobIsShownOnceAndPollingGoesOn) {
    // The hang-up's message box fails: the exception ends the job, not the program.
    class FailingBoxes : public ScriptedDialogs {
    public:
        MessageResult message(const MessageRequest& request) override {
            ScriptedDialogs::message(request);
            throw std::runtime_error("box failed");
        }
    };
    sim::MeterServer meter({.hangUpAfter = 5});
    FailingBoxes dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    Store store;
    TTekCom tek(port, store, dialogs);
    store.CurrentValues[18].set("earlier");
    tek.Resume();
    ASSERT_TRUE(tek.waitForJobs(1, Long));
    EXPECT_EQ(dialogs.exceptions(), std::vector<std::string>{"box failed"});
    EXPECT_EQ(store.CurrentValues[18].get(), "earlier");  // the job ended where it failed
    tek.Resume();
    ASSERT_TRUE(tek.waitForJobs(2, Long));
    EXPECT_EQ(store.CurrentValues[18].get(), None);
    EXPECT_EQ(dialogs.exceptions().size(), 1u);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
}

TEST(LiveWorker, HoldDuringAJobStopsItBetweenExchangesAndLeavesThePortFree) {
    Link link(sim::MeterConfig{});
    link.tek.Resume();
    ASSERT_TRUE(link.meter.waitForRequests(3, Long));
    link.tek.Suspend();
    ASSERT_TRUE(link.tek.waitForState(State::HeldInJob, Long));
    const int sentBeforeHold = link.requestsFor('D');
    EXPECT_LT(link.liveParamsAsked().size(), 18u);
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));  // the port is free at once
    EXPECT_EQ(link.requestsFor('D'), sentBeforeHold);
    link.tek.Resume();
    ASSERT_TRUE(link.tek.waitForJobs(1, Long));
    EXPECT_EQ(link.liveParamsAsked(), OneLiveJob);  // went on where it stood
}

// ---- The memory worker ----

TEST(MemoryWorker, TenPeriodsGiveElevenBlocksIn595Requests) {
    const sim::MeterConfig config{.periods = 10};
    Link link(config);
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodCount.load(), 10);
    EXPECT_EQ(link.store.PeriodsRead.load(), 11);
    EXPECT_FALSE(link.store.MemoryBusy.load());

    // In order, each asked once (a send repeated at once is a resend of the same request).
    std::vector<sim::Request> expected{{'O', 0, 0}};
    for (int p = 0; p <= 10; ++p)
        for (int n = 1; n <= 18; ++n)
            for (char c : {'N', 'X', 'A'}) expected.push_back({c, static_cast<std::uint16_t>(p * 256 + n), 0});
    ASSERT_EQ(expected.size(), 595u);
    EXPECT_EQ(link.requestsAsked(), expected);

    // Texts as sent, '.' turned into ','; period 0 spans all periods.
    for (int p : {0, 1, 10})
        for (int n : {1, 9, 18}) {
            EXPECT_EQ(link.memory(Store::minIndex(p, n)), memoryText(config, p, n, 0));
            EXPECT_EQ(link.memory(Store::maxIndex(p, n)), memoryText(config, p, n, 1));
            EXPECT_EQ(link.memory(Store::avgIndex(p, n)), memoryText(config, p, n, 2));
        }
    EXPECT_EQ(link.memory(Store::BlockSlots + 55), "");  // slots 55 to 59 unused
    EXPECT_EQ(link.memory(Store::minIndex(11, 1)), "");
}

TEST(MemoryWorker, NoOrUnusableCountSendsNoPeriodRequest) {
    for (const char* field : {"00000000", "FFFFFFFF", "ABCDEFGH"}) {
        Link link({.countField = field});
        link.store.PeriodsRead = 7;
        link.runJob(link.mem);
        EXPECT_EQ(link.requestsAsked(), (std::vector<sim::Request>{{'O', 0, 0}})) << field;
        EXPECT_EQ(link.store.PeriodCount.load(), 0);
        EXPECT_EQ(link.store.PeriodsRead.load(), 0);
        EXPECT_FALSE(link.store.MemoryBusy.load());
    }
    Link silent(withFaults({{.fault = sim::Fault::Silence, .command = 'O'}}));
    silent.runJob(silent.mem);
    EXPECT_EQ(silent.store.PeriodCount.load(), 0);
    EXPECT_EQ(silent.meter.requestCount(), 4u);
}

TEST(MemoryWorker, FailedOrStrayRepliesStayInTheSlotsTheyBelongTo) {
    const sim::MeterConfig config = withFaults(
        {
            // The first statistic fails: "нет" in its own slot, not where the 'O' reply's
            // parameter number would put it.
            {.fault = sim::Fault::Silence, .command = 'N', .param = 1, .period = 0},
            // 5's reply says 6 and 6's says 7: 6's slot gets 5's value, 5's keeps its text.
            {.fault = sim::Fault::ParamNumber, .command = 'X', .param = 5, .period = 0, .reportedParam = 6},
            {.fault = sim::Fault::ParamNumber, .command = 'X', .param = 6, .period = 0, .reportedParam = 7},
            // Numbers outside 1 to 18 are failed requests.
            {.fault = sim::Fault::ParamNumber, .command = 'A', .param = 18, .period = 1, .reportedParam = 19},
            // Texts are kept as sent, numbers or not.
            {.fault = sim::Fault::NotANumber, .command = 'A', .param = 7, .period = 1},
        },
        1);
    Link link(config);
    for (int i = 0; i < 3 * Store::BlockSlots; ++i) link.setMemory(i, "earlier");
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodsRead.load(), 2);
    EXPECT_EQ(link.memory(Store::minIndex(0, 1)), None);
    EXPECT_EQ(link.memory(0), "earlier");
    EXPECT_EQ(link.memory(Store::maxIndex(0, 5)), "earlier");
    EXPECT_EQ(link.memory(Store::maxIndex(0, 6)), memoryText(config, 0, 5, 1));
    EXPECT_EQ(link.memory(Store::avgIndex(1, 18)), None);
    EXPECT_EQ(link.memory(Store::avgIndex(1, 7)), "OVERLOAD");
    EXPECT_EQ(link.memory(Store::minIndex(2, 1)), "earlier");  // beyond this download
}

TEST(MemoryWorker, DownloadEndsWhenTheMeterGoesQuietOrHangsUp) {
    // Not one good reply in block 2: blocks 0 and 1 stay counted, block 3 is not asked for.
    Link quiet(withFaults({{.fault = sim::Fault::WrongEcho, .period = 2}}, 4));
    quiet.runJob(quiet.mem);
    EXPECT_EQ(quiet.store.PeriodCount.load(), 4);
    EXPECT_EQ(quiet.store.PeriodsRead.load(), 2);
    EXPECT_FALSE(quiet.store.MemoryBusy.load());
    EXPECT_EQ(quiet.requestsFor('N', -1, 3), 0);

    // A hang-up after the count and 69 statistics: block 0 and part of block 1.
    Link gone({.periods = 3, .hangUpAfter = 70});
    gone.runJob(gone.mem);
    EXPECT_EQ(gone.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_EQ(gone.store.PeriodsRead.load(), 1);
    EXPECT_FALSE(gone.store.MemoryBusy.load());
    EXPECT_EQ(gone.meter.requestCount(), 70u);  // ended at once
}

TEST(MemoryWorker, EveryEndOfAJobCanBeFollowedByTheNextWakeAtOnce) {
    // The window sees MemoryBusy cleared, sets it and wakes the worker again at once.
    Link link({.periods = 0});
    for (int i = 0; i < 40; ++i) {
        link.startDownload();
        const auto deadline = std::chrono::steady_clock::now() + Long;
        while (link.store.MemoryBusy.load(std::memory_order_acquire)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "wake " << i << " lost";
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(link.mem.waitForJobs(40, Long));
}

// ---- Shutdown ----

namespace {

// Message boxes that wait, as the window's wait for the operator, until abandoned.
class WaitingDialogs : public ScriptedDialogs {
public:
    MessageResult message(const MessageRequest& request) override {
        ScriptedDialogs::message(request);
        std::unique_lock lock(mutex_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return abandoned_; });
        return MessageResult::Ok;
    }
    bool waitForWaiter() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Long, [&] { return waiting_; });
    }
    void abandon() {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool waiting_ = false, abandoned_ = false;
};

}  // namespace

TEST(WorkerShutdown, WorkerWaitingOnAMessageBoxHasGivenThePortUpAndIsJoined) {
    sim::MeterServer meter({.hangUpAfter = 2});
    WaitingDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    Store store;
    auto tek = std::make_unique<TTekCom>(port, store, dialogs);
    tek->Resume();
    ASSERT_TRUE(dialogs.waitForWaiter());
    port.ClosePort();  // the window's own use of the port does not wait for the operator
    dialogs.abandon();
    tek->Shutdown();
    EXPECT_EQ(tek->state(), State::Stopped);
    tek.reset();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
}

TEST(WorkerShutdown, RunningOrHeldJobsEndAtTheNextExchange) {
    Link link({.periods = 50});
    link.startDownload();
    link.tek.Suspend();
    ASSERT_TRUE(link.meter.waitForRequests(10, Long));
    link.mem.Shutdown();
    link.tek.Shutdown();
    EXPECT_EQ(link.mem.state(), State::Stopped);
    EXPECT_EQ(link.tek.state(), State::Stopped);
    EXPECT_FALSE(link.store.MemoryBusy.load());  // even a job cut short clears it
    const auto sent = link.meter.requestCount();
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.meter.requestCount() - static_cast<std::size_t>(link.requestsFor('s')), sent);
}
