#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/messages.h"
#include "common/numtext.h"
#include "link/workers.h"
#include "sim/meter_server.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;
using namespace std::chrono_literals;
using State = HoldableThread::State;

namespace {

constexpr auto Long = 30s;  // generous bound for jobs that take well under a second

const std::string None = meter::NoValue;

// The meter's value field as the program's reply fields hold it: the first '.' is a ','.
std::string commaText(std::string field) {
    if (auto dot = field.find('.'); dot != std::string::npos) field[dot] = ',';
    return field;
}

std::string valueText(const std::vector<std::uint8_t>& reply) {
    return commaText(std::string(reply.begin() + 6, reply.begin() + 14));
}

// The live texts a fault-free meter with this configuration gives for one job: a model of
// its own, asked the same requests in the same order, answers exactly as the served one.
std::map<int, std::string> expectedLiveJob(sim::MeterConfig config) {
    config.faults.clear();
    sim::MeterModel model(config);
    std::map<int, std::string> texts;
    for (int n = 1; n <= 18; ++n)
        texts[n] = liveText(valueText(model.answer({'D', static_cast<std::uint16_t>(n), 0})));
    return texts;
}

std::string memoryText(const sim::MeterModel& model, int p, int n, int which) {
    const sim::Statistic s = model.statistic(p, n);
    return commaText(sim::decimalField(which == 0 ? s.min : which == 1 ? s.max : s.avg));
}

// A meter on a pseudo-terminal, the port opened on it, a store and the two workers.
class Link {
public:
    explicit Link(const sim::MeterConfig& config) : meter(config) {
        EXPECT_TRUE(port.OpenPort(meter.devicePath()));
    }

    std::string current(int n) const { return store.CurrentValues[static_cast<size_t>(n)].get(); }
    std::string memory(int index) const { return (*store.MemoryValues)[static_cast<size_t>(index)].get(); }

    // Runs one job of `worker` and waits for its end.
    void runJob(TComThread& worker) {
        const auto done = worker.JobsDone();
        if (&worker == &mem) store.MemoryBusy = true;
        worker.Resume();
        ASSERT_TRUE(worker.waitForJobs(done + 1, Long));
    }

    int requestsFor(char command, int param = -1, int period = -1) const {
        int count = 0;
        for (const auto& r : meter.requests())
            if (r.command == command && (param < 0 || r.param() == param) &&
                (period < 0 || r.period() == period))
                ++count;
        return count;
    }

    sim::MeterServer meter;
    ScriptedDialogs dialogs;
    SerialPort port{dialogs};
    ReadingsStore store;
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

// ---- Conversions ----

TEST(LiveText, GeneralNumberFormatWithCommaOrNone) {
    EXPECT_EQ(liveText("0230,500"), "230,5");
    EXPECT_EQ(liveText("0000,000"), "0");
    EXPECT_EQ(liveText("-000,000"), "0");
    EXPECT_EQ(liveText("0,0000015"), "1,5E-6");
    EXPECT_EQ(liveText("1000,000"), "1000");
    EXPECT_EQ(liveText(None), None);
    EXPECT_EQ(liveText("OVERLOAD"), None);
    EXPECT_EQ(liveText("1,2.3.45"), None);
    EXPECT_EQ(liveText("0230.500"), None);  // the '.' is turned into ',' before, never after
}

TEST(PeriodCount, FromTheCountReplyWithinTheStore) {
    EXPECT_EQ(TMemCom::periodCountFrom("0000000A"), 10);
    EXPECT_EQ(TMemCom::periodCountFrom("00000063"), 99);
    EXPECT_EQ(TMemCom::periodCountFrom("00000064"), 99);
    EXPECT_EQ(TMemCom::periodCountFrom("000000FF"), 99);
    EXPECT_EQ(TMemCom::periodCountFrom("FFFFFFFF"), 0);
    EXPECT_EQ(TMemCom::periodCountFrom(None), 0);
    EXPECT_EQ(TMemCom::periodCountFrom("0230,500"), 0);
    EXPECT_EQ(TMemCom::periodCountFrom(""), 0);
}

// ---- The live worker against the simulated meter ----

TEST(LiveWorker, NothingIsSentBeforeTheFirstWake) {
    Link link(sim::MeterConfig{});
    EXPECT_EQ(link.tek.state(), State::Waiting);
    EXPECT_EQ(link.mem.state(), State::Waiting);
    // A probe of our own goes through the meter after anything the workers could have sent.
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.meter.requests(), (std::vector<sim::Request>{{'s', 0, 0}}));
    for (int n = 0; n < ReadingsStore::CurrentSlots; ++n) EXPECT_EQ(link.current(n), "");
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(0, 1)), "");
}

TEST(LiveWorker, JobStoresTheEighteenConvertedReadings) {
    sim::MeterConfig config;
    Link link(config);
    link.runJob(link.tek);
    std::vector<sim::Request> asked;
    for (int n = 1; n <= 18; ++n) asked.push_back({'D', static_cast<std::uint16_t>(n), 0});
    EXPECT_EQ(link.meter.requests(), asked);

    const auto expected = expectedLiveJob(config);
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(link.current(n), expected.at(n)) << "parameter " << n;
    EXPECT_EQ(link.current(0), "");
    for (int n = 19; n < ReadingsStore::CurrentSlots; ++n) EXPECT_EQ(link.current(n), "");
    // Plausible readings, in the general number format: U of phase A, e.g. 0227.942 → 227,942.
    const double u = *parseDecimal(link.current(1));
    EXPECT_GE(u, 220.0);
    EXPECT_LE(u, 230.0);
    EXPECT_EQ(link.current(1).find('.'), std::string::npos);
    EXPECT_NE(link.current(1).front(), '0');
    EXPECT_TRUE(link.dialogs.messages().empty());
    EXPECT_EQ(link.tek.HoldCount(), 1);
}

TEST(LiveWorker, ReplyCarryingAnotherParameterLandsInThatParametersSlot) {
    // The reply to parameter 5 says 06, the one to 6 says 07: slot 6 ends with the value the
    // meter sent for 5 and slot 5 keeps its earlier text.
    sim::MeterConfig config = withFaults({
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 5, .reportedParam = 6},
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 6, .reportedParam = 7},
    });
    Link link(config);
    link.store.CurrentValues[5].set("earlier");
    link.runJob(link.tek);
    const auto expected = expectedLiveJob(config);
    EXPECT_EQ(link.current(5), "earlier");
    EXPECT_EQ(link.current(6), expected.at(5));
    EXPECT_EQ(link.current(7), expected.at(7));
    EXPECT_EQ(link.meter.requestCount(), 18u);  // good replies: no second calls
}

TEST(LiveWorker, ParameterOutsideTheStoreCountsAsFailedAndShowsNoneInItsOwnSlot) {
    Link link(withFaults({
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 3, .reportedParam = 19},
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 4, .reportedParam = 0},
        {.fault = sim::Fault::ParamNumber, .command = 'D', .param = 8, .reportedParam = 255},
    }));
    for (int n = 0; n < ReadingsStore::CurrentSlots; ++n) link.store.CurrentValues[static_cast<size_t>(n)].set("earlier");
    link.runJob(link.tek);
    for (int n : {3, 4, 8}) {
        EXPECT_EQ(link.current(n), None) << n;
        EXPECT_EQ(link.requestsFor('D', n), 2) << n;  // asked a second time
    }
    EXPECT_EQ(link.current(0), "earlier");
    EXPECT_EQ(link.current(19), "earlier");
    EXPECT_EQ(link.current(5), liveText(link.current(5)));  // the others were read
}

struct LiveFaultCase {
    const char* name;
    sim::Fault fault;
    std::string slotText;  // what parameter 3's slot holds afterwards; empty: a good reading
    int requests;          // requests for parameter 3
};

void PrintTo(const LiveFaultCase& c, std::ostream* os) { *os << c.name; }

class LiveWorkerFault : public ::testing::TestWithParam<LiveFaultCase> {};

TEST_P(LiveWorkerFault, SpoiledParameterEndsSoundAndTheOthersAreRead) {
    const LiveFaultCase& c = GetParam();
    sim::MeterConfig config = withFaults({{.fault = c.fault, .command = 'D', .param = 3}});
    Link link(config);
    link.runJob(link.tek);
    const auto expected = expectedLiveJob(config);
    EXPECT_EQ(link.current(3), c.slotText.empty() ? expected.at(3) : c.slotText);
    EXPECT_EQ(link.requestsFor('D', 3), c.requests);
    for (int n = 1; n <= 18; ++n) {
        if (n == 3) continue;
        EXPECT_EQ(link.current(n), expected.at(n)) << n;
    }
    EXPECT_TRUE(link.port.PortOpen());
    EXPECT_TRUE(link.dialogs.messages().empty());
    // A later job is unaffected by the earlier fault's leftovers.
    link.runJob(link.tek);
    EXPECT_EQ(link.requestsFor('D', 4), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LiveWorkerFault,
    ::testing::Values(LiveFaultCase{"Silence", sim::Fault::Silence, None, 8},
                      LiveFaultCase{"StrayByte", sim::Fault::StrayByte, None, 8},
                      LiveFaultCase{"ShortReply", sim::Fault::ShortReply, None, 8},
                      LiveFaultCase{"WrongEcho", sim::Fault::WrongEcho, None, 8},
                      LiveFaultCase{"NonHexParam", sim::Fault::NonHexParam, None, 8},
                      LiveFaultCase{"NotANumber", sim::Fault::NotANumber, None, 1},
                      LiveFaultCase{"LongReply", sim::Fault::LongReply, "", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LiveWorker, SecondCallIsMadeAfterAFailedOneAndItsGoodReplyCounts) {
    // Only the first four sends for parameter 2 go unanswered.
    Link link(withFaults({{.fault = sim::Fault::Silence, .command = 'D', .param = 2, .limit = 4}}));
    link.runJob(link.tek);
    EXPECT_EQ(link.requestsFor('D', 2), 5);
    EXPECT_EQ(link.current(2), liveText(link.current(2)));
    EXPECT_NE(link.current(2), None);
}

TEST(LiveWorker, HangUpMidJobTellsOnceClosesThePortAndLaterJobsAreSilent) {
    sim::MeterConfig config;
    config.hangUpAfter = 5;
    Link link(config);
    link.runJob(link.tek);
    EXPECT_EQ(link.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(link.port.PortOpen());
    const auto expected = expectedLiveJob(config);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(link.current(n), expected.at(n));
    // The fifth reply may be lost with the line when the meter hangs up right after it.
    EXPECT_TRUE(link.current(5) == expected.at(5) || link.current(5) == None) << link.current(5);
    for (int n = 6; n <= 18; ++n) EXPECT_EQ(link.current(n), None);

    link.runJob(link.tek);
    EXPECT_EQ(link.dialogs.messages().size(), 1u);
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(link.current(n), None);
}

TEST(LiveWorker, WakeDuringAJobIsLost) {
    Link link(sim::MeterConfig{});
    link.tek.Resume();
    ASSERT_TRUE(link.meter.waitForRequests(2, Long));
    link.tek.Resume();  // lost
    ASSERT_TRUE(link.tek.waitForJobs(1, Long));
    EXPECT_EQ(link.tek.HoldCount(), 1);
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.requestsFor('D'), 18);
    EXPECT_EQ(link.tek.JobsDone(), 1u);
}

TEST(LiveWorker, HoldDuringAJobStopsItBetweenExchangesAndLeavesThePortFree) {
    Link link(sim::MeterConfig{});
    link.tek.Resume();
    ASSERT_TRUE(link.meter.waitForRequests(3, Long));
    link.tek.Suspend();
    ASSERT_TRUE(link.tek.waitForState(State::HeldInJob, Long));
    const int sentBeforeHold = link.requestsFor('D');
    EXPECT_LT(sentBeforeHold, 18);
    // The held worker keeps nothing: the settings check gets the port at once.
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.requestsFor('D'), sentBeforeHold);
    link.tek.Resume();
    ASSERT_TRUE(link.tek.waitForJobs(1, Long));
    // The job went on where it stood: every parameter asked exactly once.
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(link.requestsFor('D', n), 1) << n;
}

// ---- The memory worker ----

TEST(MemoryWorker, TenPeriodsGiveElevenBlocksIn595Requests) {
    sim::MeterConfig config;
    config.periods = 10;
    Link link(config);
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodCount.load(), 10);
    EXPECT_EQ(link.store.PeriodsRead.load(), 11);
    EXPECT_FALSE(link.store.MemoryBusy.load());

    const auto asked = link.meter.requests();
    ASSERT_EQ(asked.size(), 595u);
    EXPECT_EQ(asked[0], (sim::Request{'O', 0, 0}));
    std::size_t i = 1;
    for (int p = 0; p <= 10; ++p)
        for (int n = 1; n <= 18; ++n)
            for (char c : {'N', 'X', 'A'}) {
                EXPECT_EQ(asked[i], (sim::Request{c, static_cast<std::uint16_t>(p * 256 + n), 0}));
                ++i;
            }

    // Texts as the meter sent them, '.' turned into ','; period 0 spans all periods.
    sim::MeterModel model(config);
    for (int p = 0; p <= 10; ++p)
        for (int n = 1; n <= 18; ++n) {
            EXPECT_EQ(link.memory(ReadingsStore::minIndex(p, n)), memoryText(model, p, n, 0));
            EXPECT_EQ(link.memory(ReadingsStore::maxIndex(p, n)), memoryText(model, p, n, 1));
            EXPECT_EQ(link.memory(ReadingsStore::avgIndex(p, n)), memoryText(model, p, n, 2));
        }
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(1, 1)).size(), 8u);  // e.g. 0213,039: not converted
    EXPECT_EQ(link.memory(ReadingsStore::BlockSlots * 1), "");        // slots 0 and 55-59 unused
    EXPECT_EQ(link.memory(ReadingsStore::BlockSlots * 1 + 55), "");
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(11, 1)), "");
    EXPECT_TRUE(link.dialogs.messages().empty());
}

TEST(MemoryWorker, NoPeriodsSendsOnlyTheCountRequest) {
    sim::MeterConfig config;
    config.periods = 0;
    Link link(config);
    link.store.PeriodsRead = 7;
    link.runJob(link.mem);
    EXPECT_EQ(link.meter.requests(), (std::vector<sim::Request>{{'O', 0, 0}}));
    EXPECT_EQ(link.store.PeriodCount.load(), 0);
    EXPECT_EQ(link.store.PeriodsRead.load(), 0);
    EXPECT_FALSE(link.store.MemoryBusy.load());
}

TEST(MemoryWorker, UnusableCountsGiveNoPeriods) {
    for (const char* field : {"FFFFFFFF", "ABCDEFGH", "00000000"}) {
        sim::MeterConfig config;
        config.countField = field;
        Link link(config);
        link.runJob(link.mem);
        EXPECT_EQ(link.store.PeriodCount.load(), 0) << field;
        EXPECT_EQ(link.meter.requestCount(), 1u) << field;
        EXPECT_FALSE(link.store.MemoryBusy.load());
    }
    // No answer to 'O' at all: four sends, then the job ends.
    Link silent(withFaults({{.fault = sim::Fault::Silence, .command = 'O'}}));
    silent.runJob(silent.mem);
    EXPECT_EQ(silent.store.PeriodCount.load(), 0);
    EXPECT_EQ(silent.meter.requestCount(), 4u);
    EXPECT_FALSE(silent.store.MemoryBusy.load());
}

TEST(MemoryWorker, CountAboveTheStoreIsLimitedTo99) {
    sim::MeterConfig config;
    config.periods = 120;
    Link link(config);
    link.store.MemoryBusy = true;
    link.mem.Resume();
    // The whole download of 100 blocks takes half a minute; two blocks show the way.
    const auto deadline = std::chrono::steady_clock::now() + Long;
    while (link.store.PeriodsRead.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(link.store.PeriodCount.load(), 99);
    link.mem.Shutdown();
    EXPECT_FALSE(link.store.MemoryBusy.load());  // even a job cut short clears it
    EXPECT_GE(link.store.PeriodsRead.load(), 2);
}

TEST(MemoryWorker, FailedOrStrayRepliesStayInTheSlotsTheyBelongTo) {
    sim::MeterConfig config = withFaults(
        {
            // The very first statistic fails: its "нет" goes to its own slot, never to the
            // slot the 'O' reply's parameter number would give.
            {.fault = sim::Fault::Silence, .command = 'N', .param = 1, .period = 0},
            // A reply for parameter 5 that says 6 fills 6's slot; 5's keeps its text.
            {.fault = sim::Fault::ParamNumber, .command = 'X', .param = 5, .period = 0, .reportedParam = 6},
            {.fault = sim::Fault::ParamNumber, .command = 'X', .param = 6, .period = 0, .reportedParam = 7},
            // Numbers outside 1 to 18 are failed requests.
            {.fault = sim::Fault::ParamNumber, .command = 'A', .param = 18, .period = 1, .reportedParam = 19},
            {.fault = sim::Fault::ParamNumber, .command = 'N', .param = 2, .period = 1, .reportedParam = 0},
            // Memory texts are kept as sent, numbers or not.
            {.fault = sim::Fault::NotANumber, .command = 'A', .param = 7, .period = 1},
        },
        1);
    Link link(config);
    for (int i = 0; i < ReadingsStore::BlockSlots * 3; ++i) (*link.store.MemoryValues)[static_cast<size_t>(i)].set("earlier");
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodsRead.load(), 2);

    sim::MeterModel model(config);
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(0, 1)), None);
    EXPECT_EQ(link.memory(ReadingsStore::BlockSlots * 0), "earlier");
    EXPECT_EQ(link.memory(ReadingsStore::maxIndex(0, 5)), "earlier");
    EXPECT_EQ(link.memory(ReadingsStore::maxIndex(0, 6)), memoryText(model, 0, 5, 1));
    EXPECT_EQ(link.memory(ReadingsStore::avgIndex(1, 18)), None);
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(2, 1)), "earlier");  // block 2: untouched
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(1, 2)), None);
    EXPECT_EQ(link.memory(ReadingsStore::avgIndex(1, 7)), "OVERLOAD");
    EXPECT_EQ(link.memory(ReadingsStore::avgIndex(1, 6)), memoryText(model, 1, 6, 2));
}

TEST(MemoryWorker, MeterGoingQuietForAWholeBlockEndsTheDownload) {
    sim::MeterConfig config = withFaults({{.fault = sim::Fault::WrongEcho, .period = 2}}, 4);
    Link link(config);
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodCount.load(), 4);
    EXPECT_EQ(link.store.PeriodsRead.load(), 2);  // blocks 0 and 1 stay counted
    EXPECT_FALSE(link.store.MemoryBusy.load());
    EXPECT_EQ(link.requestsFor('N', -1, 2) + link.requestsFor('X', -1, 2) + link.requestsFor('A', -1, 2),
              54 * 4);
    EXPECT_EQ(link.requestsFor('N', -1, 3), 0);
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(2, 1)), None);
}

TEST(MemoryWorker, HangUpEndsTheDownloadAtOnce) {
    sim::MeterConfig config;
    config.periods = 3;
    config.hangUpAfter = 70;  // the count and 69 statistics: block 0 and part of block 1
    Link link(config);
    link.runJob(link.mem);
    EXPECT_EQ(link.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(link.port.PortOpen());
    EXPECT_EQ(link.store.PeriodCount.load(), 3);
    EXPECT_EQ(link.store.PeriodsRead.load(), 1);
    EXPECT_FALSE(link.store.MemoryBusy.load());
    // The live worker after it: silent, "нет" everywhere.
    link.runJob(link.tek);
    EXPECT_EQ(link.current(1), None);
    EXPECT_EQ(link.dialogs.messages().size(), 1u);
}

TEST(MemoryWorker, SecondDownloadOverwritesOnlyTheBlocksItStores) {
    sim::MeterConfig three;
    three.periods = 3;
    Link link(three);
    link.runJob(link.mem);
    const std::string block3 = link.memory(ReadingsStore::avgIndex(3, 18));

    sim::MeterConfig one;
    one.periods = 1;
    one.seed = 7;
    sim::MeterServer other(one);
    ASSERT_TRUE(link.port.OpenPort(other.devicePath()));
    link.runJob(link.mem);
    EXPECT_EQ(link.store.PeriodCount.load(), 1);
    EXPECT_EQ(link.store.PeriodsRead.load(), 2);
    sim::MeterModel model(one);
    EXPECT_EQ(link.memory(ReadingsStore::minIndex(1, 1)), memoryText(model, 1, 1, 0));
    EXPECT_EQ(link.memory(ReadingsStore::avgIndex(3, 18)), block3);
}

TEST(MemoryWorker, EveryEndOfAJobCanBeFollowedByTheNextWakeAtOnce) {
    // The window's pattern: it sees MemoryBusy cleared, sets it and wakes the worker again.
    sim::MeterConfig config;
    config.periods = 0;
    Link link(config);
    for (int i = 0; i < 40; ++i) {
        link.store.MemoryBusy = true;
        link.mem.Resume();
        const auto deadline = std::chrono::steady_clock::now() + Long;
        while (link.store.MemoryBusy.load(std::memory_order_acquire)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "wake " << i << " lost";
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(link.mem.waitForJobs(40, Long));
    EXPECT_EQ(link.meter.requestCount(), 40u);
}

// ---- Shutdown ----

namespace {

// Message boxes that wait until the test lets them go, as the window's boxes wait for the
// operator; abandon() answers every waiting and later box at once.
class WaitingDialogs : public ScriptedDialogs {
public:
    MessageResult message(const MessageRequest& request) override {
        ScriptedDialogs::message(request);
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return abandoned_; });
        --waiting_;
        return MessageResult::Ok;
    }
    bool waitForWaiter() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Long, [&] { return waiting_ > 0; });
    }
    void abandon() {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool abandoned_ = false;
};

}  // namespace

TEST(WorkerShutdown, WorkerWaitingOnAMessageBoxHasGivenThePortUpAndIsJoined) {
    sim::MeterConfig config;
    config.hangUpAfter = 2;
    sim::MeterServer meter(config);
    WaitingDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    ReadingsStore store;
    auto tek = std::make_unique<TTekCom>(port, store, dialogs);
    tek->Resume();
    ASSERT_TRUE(dialogs.waitForWaiter());
    // The window's own use of the port does not wait for the operator's answer.
    port.ClosePort();
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    dialogs.abandon();
    tek->Shutdown();
    EXPECT_EQ(tek->state(), State::Stopped);
    tek.reset();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
}

TEST(WorkerShutdown, RunningOrHeldJobsEndAtTheNextExchange) {
    sim::MeterConfig config;
    config.periods = 50;
    Link link(config);
    link.store.MemoryBusy = true;
    link.mem.Resume();
    link.tek.Suspend();
    ASSERT_TRUE(link.meter.waitForRequests(10, Long));
    link.mem.Shutdown();
    link.tek.Shutdown();
    EXPECT_EQ(link.mem.state(), State::Stopped);
    EXPECT_EQ(link.tek.state(), State::Stopped);
    EXPECT_FALSE(link.store.MemoryBusy.load());
    const auto sent = link.meter.requestCount();
    EXPECT_TRUE(ProbeRequest(link.port, 's', 0, 0));
    EXPECT_EQ(link.meter.requestCount(), sent + 1);
}
