// Line soak: the real workers (the live worker and the memory download) against the simulated
// meter on a pseudo-terminal, unpaced, cycling through every fault the meter can be told to
// make and through hang-ups. Prints the exchanges, the faults injected and the worst times;
// fails (exit 1) on a job that does not end, an exchange over its bound or a slot that holds
// neither a reading nor "нет".
//
// usage: soak_line [sends (100000)]     (a send in six is a resend: 125000 sends give about
//                                        10^5 exchanges)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bench/console_dialogs.h"
#include "common/numtext.h"
#include "link/workers.h"
#include "sim/meter_server.h"

namespace {

using namespace lumo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One send of a request on the worker path: the write (16 bytes to a pseudo-terminal take no
// time worth counting), the pause after it and the longest receive step. A job must end within
// its sends' bounds; scheduling on a loaded machine adds to every sleep, hence the allowance.
constexpr auto SendBound = meter::AfterWrite + meter::FirstByteTries * meter::FirstByteTry +
                           meter::CollectLimit + meter::Gap + meter::AfterGap;
constexpr auto Allowance = 150ms;
constexpr auto JobLimit = 120s;  // a job that has not ended by then hangs

struct Mode {
    const char* name;
    std::optional<sim::Fault> fault;  // none with hangUp: hang-ups; none without: fault-free
    int every;
    bool hangUp = false;
};

const Mode Modes[] = {
    {"none", std::nullopt, 1},
    {"silence", sim::Fault::Silence, 5},
    {"stray-byte", sim::Fault::StrayByte, 5},
    {"short-reply", sim::Fault::ShortReply, 5},
    {"wrong-echo", sim::Fault::WrongEcho, 5},
    {"not-a-number", sim::Fault::NotANumber, 5},
    {"non-hex-param", sim::Fault::NonHexParam, 5},
    {"param-number", sim::Fault::ParamNumber, 5},
    {"long-reply", sim::Fault::LongReply, 5},
    {"babble", sim::Fault::Babble, 40},
    {"hang-up", std::nullopt, 1, true},
};

// The sends of the current cycle as the meter receives them.
class Sends {
public:
    void sent(const sim::Request& r) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        if (count_ == 0 || !(last_ == r)) ++exchanges_;
        if (count_ > 0) worstGap_ = std::max(worstGap_, now - at_);
        last_ = r;
        at_ = now;
        ++count_;
    }
    long count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    long exchanges() const {
        std::lock_guard lock(mutex_);
        return exchanges_;
    }
    // The longest time between two sends of one job; a new job starts afresh.
    void newJob() {
        std::lock_guard lock(mutex_);
        at_ = Clock::now();
    }
    Clock::duration worstGap() const {
        std::lock_guard lock(mutex_);
        return worstGap_;
    }

private:
    mutable std::mutex mutex_;
    sim::Request last_;
    Clock::time_point at_;
    long count_ = 0, exchanges_ = 0;
    Clock::duration worstGap_{};
};

bool isLiveText(const std::string& text) {
    if (text == meter::NoValue) return true;
    const auto v = parseDecimal(text);
    return v && formatGeneral(*v) == text;
}

// Boxes are counted, not printed: every hang-up shows one.
class CountingDialogs : public bench::ConsoleDialogs {
public:
    MessageResult message(const MessageRequest&) override {
        ++messages;
        return MessageResult::Ok;
    }
    std::atomic<long> messages{0};
};

int failures = 0;
void fail(const std::string& what) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    const long target = argc > 1 ? std::atol(argv[1]) : 100000;
    const long perMode = target / static_cast<long>(std::size(Modes)) + 1;
    CountingDialogs dialogs;
    long sends = 0, exchanges = 0, faults = 0, hangUps = 0, liveJobs = 0, downloads = 0;
    Clock::duration worst{}, worstPerSend{};
    const auto started = Clock::now();

    for (const Mode& mode : Modes) {
        long modeSends = 0, modeFaults = 0;
        Clock::duration modeWorst{};
        for (std::uint32_t cycle = 0; modeSends < perMode; ++cycle) {
            sim::MeterConfig config;
            config.periods = 3;
            config.seed = cycle + 1;
            if (mode.fault) config.faults.push_back({.fault = *mode.fault, .every = mode.every});
            // A hang-up anywhere in the first live job or download of the cycle.
            if (mode.hangUp) config.hangUpAfter = static_cast<int>(1 + (cycle * 37) % 200);
            Sends line;
            sim::MeterServer meter(config, [&](const sim::Request& r) { line.sent(r); });
            SerialPort port(dialogs);
            if (!port.OpenPort(meter.devicePath())) return 2;
            ReadingsStore store;
            TTekCom tek(port, store, dialogs);
            TMemCom mem(port, store, dialogs);
            // The window's labels start with "нет"; a slot keeps its text until a reply for it
            // comes (a late reply for another parameter goes to that parameter's slot).
            for (auto& slot : store.CurrentValues) slot.set(meter::NoValue);
            for (auto& slot : *store.MemoryValues) slot.set(meter::NoValue);
            // Runs one job; false when it does not end. Checks its time against its sends.
            auto job = [&](TComThread& worker, const char* what) {
                const long before = line.count();
                const auto start = Clock::now();
                line.newJob();
                const auto done = worker.JobsDone();
                worker.Resume();
                if (!worker.waitForJobs(done + 1, JobLimit)) {
                    fail(std::string(mode.name) + ": " + what + " hangs");
                    return false;
                }
                const auto took = Clock::now() - start;
                const long n = line.count() - before;
                const auto perSend = n ? took / n : took;
                worstPerSend = std::max(worstPerSend, perSend);
                // The meter counts a send when it reads it; a meter starved by the machine may
                // not have read the last request's sends yet, so they count as well.
                if (took > (n + meter::Attempts) * SendBound + Allowance)
                    fail(std::string(mode.name) + ": " + what + " of " + std::to_string(n) + " sends took " +
                         std::to_string(took / 1ms) + " ms");
                return true;
            };

            // Live jobs and downloads in turn; a hang-up cycle ends once the line is gone.
            for (int round = 0; round < 8 && port.PortOpen(); ++round) {
                if (!job(tek, "live job")) return 1;
                ++liveJobs;
                for (int n = 1; n <= 18; ++n) {
                    const auto text = store.CurrentValues[static_cast<std::size_t>(n)].get();
                    if (!isLiveText(text)) fail(std::string(mode.name) + ": live slot " + std::to_string(n) + " holds '" + text + "'");
                }
                if (round % 4 != 3) continue;
                store.MemoryBusy = true;
                if (!job(mem, "download") || store.MemoryBusy) return 1;
                ++downloads;
                for (int p = 0; p < store.PeriodsRead; ++p)
                    for (int n = 1; n <= 18; ++n)
                        for (int i : {ReadingsStore::minIndex(p, n), ReadingsStore::maxIndex(p, n), ReadingsStore::avgIndex(p, n)})
                            if ((*store.MemoryValues)[static_cast<std::size_t>(i)].get().empty())
                                fail(std::string(mode.name) + ": memory slot " + std::to_string(i) + " empty");
            }
            modeWorst = std::max(modeWorst, line.worstGap());
            if (mode.hangUp) {
                ++hangUps;
                if (port.PortOpen()) fail("hang-up: the port stayed open");
                if (dialogs.messages != hangUps) fail("hang-up: not exactly one message");
                // With the line gone every reading shows "нет" at the next job.
                if (!job(tek, "live job")) return 1;
                for (int n = 1; n <= 18; ++n)
                    if (store.CurrentValues[static_cast<std::size_t>(n)].get() != meter::NoValue)
                        fail("hang-up: slot " + std::to_string(n) + " keeps a reading");
            } else if (dialogs.messages != hangUps) {
                fail(std::string(mode.name) + ": a message without a hang-up");
            }
            tek.Shutdown();
            mem.Shutdown();
            meter.stop();
            modeSends += line.count();
            exchanges += line.exchanges();
            modeFaults += meter.faultsInjected();
        }
        sends += modeSends;
        faults += modeFaults;
        worst = std::max(worst, modeWorst);
        std::printf("%-14s sends %7ld  faults %6ld  worst gap between sends %4ld ms\n", mode.name, modeSends,
                    mode.hangUp ? 0L : modeFaults, static_cast<long>(modeWorst / 1ms));
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("exchanges %ld (sends %ld), faults injected %ld, hang-ups %ld, live jobs %ld, downloads %ld\n",
                exchanges, sends, faults, hangUps, liveJobs, downloads);
    std::printf("worst job time per send %ld ms (bound of a send %ld ms; a job may take its sends' bounds + %ld ms)\n",
                static_cast<long>(worstPerSend / 1ms), static_cast<long>(SendBound / 1ms),
                static_cast<long>(Allowance / 1ms));
    std::printf("worst gap between two sends of a job at the meter %ld ms (a babbling meter reads the next\n"
                "send only after its babble), %.0f s\n", static_cast<long>(worst / 1ms), seconds);
    std::printf("%s\n", failures ? "FAILED" : "no crash, no hang, every job within its sends' bounds, every slot a reading or \"нет\"");
    return failures ? 1 : 0;
}
