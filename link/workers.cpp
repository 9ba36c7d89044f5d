#include "link/workers.h"

#include "common/numtext.h"
#include "common/readings.h"

namespace lumo {

namespace {

constexpr int Parameters = ReadingCount;

}  // namespace

std::string liveText(const std::string& value) {
    auto number = parseDecimal(value);
    return number ? formatGeneral(*number) : meter::NoValue;
}

// ---- TComThread ----

TComThread::TComThread(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs)
    : port_(port), store_(store), dialogs_(dialogs) {}

TComThread::~TComThread() { Shutdown(); }

void TComThread::Start() {
    start([this] { WorkLoop(); });
}

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
        for (int n = 1; n <= Parameters && safePoint(); ++n) readParameter(n);
        endJob();
    }
}

void TTekCom::readParameter(int n) {
    bool good = SendRequest(meter::CmdLive, static_cast<std::uint32_t>(n), 0) && isParameter(ParamNo);
    if (!good) {
        if (!safePoint()) return;
        good = SendRequest(meter::CmdLive, static_cast<std::uint32_t>(n), 0) && isParameter(ParamNo);
    }
    // The reply's own parameter number chooses the slot; without a usable reply the slot of
    // the parameter asked for shows "нет", so no label keeps a value that is not its own.
    if (good)
        store_.CurrentValues[static_cast<std::size_t>(ParamNo)].set(liveText(Value));
    else
        store_.CurrentValues[static_cast<std::size_t>(n)].set(meter::NoValue);
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
        try {
            download();
        } catch (...) {
            // Nothing here throws short of running out of memory; even then the job must end
            // with MemoryBusy cleared, or the window would wait for it for ever.
        }
        endJob([this] { store_.MemoryBusy.store(false, std::memory_order_release); });
    }
}

void TMemCom::download() {
    store_.PeriodsRead.store(0, std::memory_order_release);
    if (!safePoint()) return;
    const bool counted = SendRequest(meter::CmdCount, 0, 0);
    const std::int32_t periods = counted ? periodCountFrom(Value) : 0;
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
                if (storeStatistic(p, n, which, replied)) ++goodReplies;
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

bool TMemCom::storeStatistic(int p, int n, int which, bool replied) {
    const bool good = replied && isParameter(ParamNo);
    const int slot = ReadingsStore::minIndex(p, good ? ParamNo : n) + which;
    (*store_.MemoryValues)[static_cast<std::size_t>(slot)].set(good ? Value : meter::NoValue);
    return good;
}

}  // namespace lumo
