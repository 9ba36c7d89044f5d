#include "link/workers.h"

#include <exception>

#include "common/numtext.h"
#include "common/readings.h"
#include "common/operator_dialogs.h"

namespace lumo {

namespace {

constexpr int Parameters = ReadingCount;

// A reply that came and names a parameter the store has a slot for.
bool goodReply(bool replied, const meter::ReplyFields& reply) {
    return replied && isReadingNumber(reply.ParamNo);
}

}  // namespace

std::string liveText(const std::string& value) {
    auto number = parseDecimal(value);
    return number ? formatGeneral(*number) : meter::NoValue;
}

bool storeLiveReading(ReadingsStore& store, int asked, bool replied, const meter::ReplyFields& reply) {
    // The reply's own parameter number chooses the slot; without a usable reply the slot of
    // the parameter asked for shows "нет", so no label keeps a value that is not its own.
    const bool good = goodReply(replied, reply);
    if (good)
        store.CurrentValues[static_cast<std::size_t>(reply.ParamNo)].set(liveText(reply.Value));
    else
        store.CurrentValues[static_cast<std::size_t>(asked)].set(meter::NoValue);
    return good;
}

bool storeStatistic(ReadingsStore& store, int period, int asked, int which, bool replied,
                    const meter::ReplyFields& reply) {
    const bool good = goodReply(replied, reply);
    const int slot = ReadingsStore::minIndex(period, good ? reply.ParamNo : asked) + which;
    (*store.MemoryValues)[static_cast<std::size_t>(slot)].set(good ? reply.Value : meter::NoValue);
    return good;
}

// ---- TComThread ----

TComThread::TComThread(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs)
    : port_(port), store_(store), dialogs_(dialogs) {}

TComThread::~TComThread() { Shutdown(); }

void TComThread::Start() {
    start([this] { WorkLoop(); });
}

void TComThread::runJob(const std::function<void()>& job) noexcept { runGuarded(dialogs_, job); }

bool TComThread::SendRequest(char command, std::uint32_t address, std::uint32_t argument) {
    return meter::SendRequest(port_, dialogs_, *this, command, address, argument);
}

// ---- TTekCom ----

TTekCom::TTekCom(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs)
    : TComThread(port, store, dialogs) {
    Start();
}

TTekCom::~TTekCom() { Shutdown(); }

void TTekCom::WorkLoop() {
    while (waitForJob()) {
        runJob([this] {
            for (int n = 1; n <= Parameters && safePoint(); ++n) readParameter(n);
        });
        endJob();
    }
}

void TTekCom::readParameter(int n) {
    bool good = goodReply(SendRequest(meter::CmdLive, static_cast<std::uint32_t>(n), 0), *this);
    if (!good) {
        if (!safePoint()) return;
        good = SendRequest(meter::CmdLive, static_cast<std::uint32_t>(n), 0);
    }
    storeLiveReading(store_, n, good, *this);
}

// ---- TMemCom ----

TMemCom::TMemCom(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs)
    : TComThread(port, store, dialogs) {
    Start();
}

TMemCom::~TMemCom() { Shutdown(); }

std::int32_t TMemCom::periodCountFrom(const std::string& value) {
    auto count = parseHex32("0x" + value);
    if (!count || *count < 0) return 0;
    return *count > ReadingsStore::MaxPeriodCount ? ReadingsStore::MaxPeriodCount : *count;
}

void TMemCom::WorkLoop() {
    while (waitForJob()) {
        // Whatever escapes the download, the job ends with MemoryBusy cleared, or the window
        // would wait for it for ever.
        runJob([this] { download(); });
        endJob([this] { store_.MemoryBusy.store(false, std::memory_order_release); });
    }
}

void TMemCom::download() {
    store_.PeriodsRead.store(0, std::memory_order_release);
    store_.PeriodCountAnswered.store(false, std::memory_order_release);
    if (!safePoint()) return;
    const bool counted = SendRequest(meter::CmdCount, 0, 0);
    const std::int32_t periods = counted ? periodCountFrom(Value) : 0;
    store_.PeriodCountAnswered.store(counted, std::memory_order_release);
    store_.PeriodCount.store(periods, std::memory_order_release);
    if (periods < 1) return;

    static constexpr char commands[3] = {meter::CmdMin, meter::CmdMax, meter::CmdAvg};
    for (int p = 0; p <= periods; ++p) {
        int goodReplies = 0;
        for (int n = 1; n <= Parameters; ++n) {
            for (int which = 0; which < 3; ++which) {
                if (!safePoint()) return;
                const auto address = static_cast<std::uint32_t>(p * 256 + n);
                const bool replied = SendRequest(commands[which], address, 0);
                if (storeStatistic(store_, p, n, which, replied, *this)) ++goodReplies;
                // A closed port answers nothing more: end now instead of walking through
                // thousands of silent requests.
                if (!replied && !port_.PortOpen()) return;
            }
        }
        // A block without a single good reply: the meter has gone quiet.
        if (goodReplies == 0) return;
        store_.PeriodsRead.store(p + 1, std::memory_order_release);
    }
}

}  // namespace lumo
