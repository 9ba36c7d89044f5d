#pragma once
// The two reading workers. Each runs one whole job per wake on a thread of its own and fills
// the readings store; the window only wakes, holds and reads.
//
//   TTekCom  one job = the 18 live readings ('D', parameters 1 to 18) into CurrentValues,
//            each turned into the general number format.
//   TMemCom  one job = a memory download: 'O' for the period count, then 'N', 'X' and 'A' of
//            every parameter of periods 0 to PeriodCount into MemoryValues, counting each
//            complete period in PeriodsRead, and MemoryBusy cleared as the very last step.
//
// Both are created held (count 1, waiting): nothing is sent before the first Resume. A hold
// from another thread takes effect between two exchanges, never inside one. What is stored
// when a request fails:
//   live:   the converted value in the slot of the reply's parameter number; "нет" in the
//           slot of the reply's parameter when its value is no number; "нет" in the slot of
//           the parameter asked for when both calls failed or the reply's parameter number
//           lies outside 1 to 18.
//   memory: the value as sent in the slot of the reply's parameter; "нет" in the slot asked
//           for when the request failed or the reply's parameter lies outside 1 to 18.
// A download ends early, keeping the periods completed before, when the port is closed or a
// whole period block gets not one good reply; the period count is 0 after a failed 'O',
// limited to 99, and 0 when negative.

#include <cstdint>
#include <functional>
#include <string>

#include "common/readings.h"
#include "link/holdable_thread.h"
#include "link/meter_protocol.h"
#include "link/readings_store.h"
#include "link/serial_port.h"

namespace lumo {

class OperatorDialogs;

class TComThread : public HoldableThread, public meter::ReplyFields {
public:
    ~TComThread() override;

    // One exchange with the meter into this worker's reply fields (worker thread only).
    bool SendRequest(char command, std::uint32_t address, std::uint32_t argument);

    // Ends a job under way at its next exchange and joins the thread. A worker waiting on a
    // message box is let go only by the dialogs (the window abandons its waiters first).
    // Idempotent; the destructor calls it too.
    void Shutdown() { Stop(); }

protected:
    TComThread(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs);
    // Starts the thread; the most derived constructor calls it last.
    void Start();
    // The thread body: a loop of jobs, until Shutdown.
    virtual void WorkLoop() = 0;
    // Runs one job. An exception that escapes it stops here, at the thread's edge, and is
    // shown in the standard exception box the window uses for its handlers; the worker then
    // ends the job as usual and waits for the next wake.
    void runJob(const std::function<void()>& job) noexcept;

    SerialPort& port_;
    ReadingsStore& store_;
    OperatorDialogs& dialogs_;
};

class TTekCom final : public TComThread {
public:
    TTekCom(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs);
    ~TTekCom() override;

protected:
    void WorkLoop() override;

private:
    void readParameter(int n);
};

class TMemCom final : public TComThread {
public:
    TMemCom(SerialPort& port, ReadingsStore& store, OperatorDialogs& dialogs);
    ~TMemCom() override;

    // The period count of an 'O' reply's value text: 0 when it is no hexadecimal number or
    // negative, at most the 99 periods the store holds.
    static std::int32_t periodCountFrom(const std::string& value);

protected:
    void WorkLoop() override;

private:
    void download();
};

// The live value of a reading as shown and reported: the decimal text in the general number
// format, or "нет" when it is no number.
std::string liveText(const std::string& value);

// The store writes of the workers, for any reply. A reply counts as good when it came and
// names a parameter 1 to 18; `asked` is the parameter (1 to 18) of the request, `period` a
// period 0 to ReadingsStore::MaxPeriodCount and `which` 0, 1, 2 for 'N', 'X', 'A'.
// Both return whether the reply was good.
bool storeLiveReading(ReadingsStore& store, int asked, bool replied, const meter::ReplyFields& reply);
bool storeStatistic(ReadingsStore& store, int period, int asked, int which, bool replied,
                    const meter::ReplyFields& reply);

}  // namespace lumo
