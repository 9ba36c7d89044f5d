// libFuzzer harness of the receive path: the bytes a meter sends, as they arrive on the line,
// through the workers' receive step (up to the four sends of one request) or the window's echo
// check, each with the line's echo of the request to skip, the hexadecimal and decimal conversions, the live value's normalisation and the store
// writes of both workers. Built by scripts/fuzz-build, run by scripts/fuzz-protocol.
//
// Input: four header bytes, then chunks of the line, each [silence in ms][length][bytes]:
//   0  the command answered: D O N X A s (by the byte modulo 6)
//   1  the parameter asked for, 1 to 18 (modulo 18, plus 1)
//   2  the period of the statistics, 0 to the period count (modulo count + 1)
//   3  bit 0: bytes take a byte time of the 9600-baud line (1 ms here) instead of none
// Time is simulated: pauses and bytes advance the line's clock, so runs are exact and fast.
//
// Beyond sanitizer reports, a finding is: a receive step over its time bound, a live slot
// holding anything but "нет" or a number in the general format, a period count outside 0 to
// 99, a statistic outside its period's block, or a conversion that does not read back.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "common/numtext.h"
#include "link/meter_protocol.h"
#include "link/readings_store.h"
#include "link/workers.h"

namespace {

using namespace lumo;
using namespace std::chrono_literals;
using Clock = meter::ReceiveLine::Clock;

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "receive_fuzz: %s\n", what);
    std::abort();
}

// The line as the fuzzer's chunks describe it.
class ScriptedLine final : public meter::ReceiveLine {
public:
    ScriptedLine(std::span<const std::uint8_t> script, bool paced) : paced_(paced) {
        Clock::time_point at = now_;
        for (std::size_t i = 0; i + 1 < script.size();) {
            at += std::chrono::milliseconds(script[i]);
            const std::size_t length = std::min<std::size_t>(script[i + 1], script.size() - i - 2);
            for (std::size_t k = 0; k < length; ++k) bytes_.push_back({at, script[i + 2 + k]});
            i += 2 + length;
        }
    }
    bool readByte(std::uint8_t& byte) override {
        if (next_ == bytes_.size() || bytes_[next_].arrives > now_) return false;
        byte = bytes_[next_++].value;
        if (paced_) now_ += 1ms;
        return true;
    }
    void send(std::uint8_t byte) override { rejects += byte == meter::RejectByte; }
    void pause(std::chrono::milliseconds d) override { now_ += d; }
    Clock::time_point now() override { return now_; }

    int rejects = 0;

private:
    struct Byte {
        Clock::time_point arrives;
        std::uint8_t value;
    };
    std::vector<Byte> bytes_;
    std::size_t next_ = 0;
    Clock::time_point now_{};
    const bool paced_;
};

// Longest receive steps: three times (the reply or the line's echo, the rest of an echo cut by
// a pause, the reply after the echo or a copy of the request) 20 tries for the first byte, the
// collect limit, one last gap and a byte time for each read that ends a wait, then the echo
// test (its wait, a last pause and a last look); the probe's collect limit, the rest of an echo,
// the reply after a copy and the echo test.
constexpr auto CollectBound = meter::FirstByteTries * meter::FirstByteTry + meter::CollectLimit +
                              meter::Gap + meter::AfterGap + 2ms;
constexpr auto EchoTestBound = meter::EchoTestWait + meter::FirstByteTry +
                               std::chrono::milliseconds(meter::EchoTestLook) + 1ms;
constexpr auto ReplyBound = 3 * CollectBound + EchoTestBound;
constexpr auto EchoBound = meter::CollectLimit + 1ms + 2 * CollectBound + EchoTestBound;

bool isLiveText(const std::string& text) {
    if (text.empty() || text == meter::NoValue) return true;
    const auto v = parseDecimal(text);
    return v && formatGeneral(*v) == text;
}

// Conversions of any text: a number read back from its own text is the same number.
void checkConversions(const std::string& text) {
    if (const auto v = parseDecimal(text)) {
        const std::string general = formatGeneral(*v);
        const auto back = parseDecimal(general);
        require(back && formatGeneral(*back) == general, "general format does not read back");
        if (std::fabs(*v) >= 1e-300)
            require(std::fabs(*back - *v) <= 1e-14 * std::fabs(*v), "general format loses digits");
    }
    if (const auto h = parseHex32(text))
        require(parseHex32(hexUpper(static_cast<std::uint32_t>(*h), 8)) == h, "hex does not read back");
}

ReadingsStore& store() {
    static ReadingsStore s;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    static constexpr char Commands[6] = {meter::CmdLive, meter::CmdCount, meter::CmdMin,
                                         meter::CmdMax,  meter::CmdAvg,   meter::CmdProbe};
    const char command = Commands[data[0] % 6];
    const int asked = data[1] % 18 + 1;
    ScriptedLine line(std::span(data + 4, size - 4), data[3] & 1);
    const std::uint32_t address = command == meter::CmdLive ? static_cast<std::uint32_t>(asked)
                                  : command == meter::CmdProbe || command == meter::CmdCount
                                      ? 0
                                      : static_cast<std::uint32_t>(data[2] * 256 + asked);
    const meter::RequestFrame request = meter::buildRequest(command, address, 0);

    // One request: the fields start as "нет", up to four receive steps.
    meter::ReplyFields fields;
    fields.AddressText = fields.ValueHead = fields.ValueTail = fields.Value = meter::NoValue;
    bool replied = false;
    for (int attempt = 0; attempt < meter::Attempts && !replied; ++attempt) {
        const auto start = line.now();
        replied = command == meter::CmdProbe ? meter::ReceiveEcho(line, command, request)
                                             : meter::ReceiveReply(line, fields, command, request);
        const auto took = line.now() - start;
        require(took <= (command == meter::CmdProbe ? EchoBound : ReplyBound), "receive step over its bound");
        require(replied || line.rejects == attempt + 1, "a bad reply without the reject byte");
    }
    checkConversions(fields.Value);
    checkConversions(std::string(reinterpret_cast<const char*>(data + 4), std::min<std::size_t>(size - 4, 24)));
    if (command == meter::CmdProbe) return 0;
    if (replied) require(fields.AddressText.size() <= 6 && fields.ParamNo >= 0 && fields.ParamNo <= 0xFF,
                         "parameter number out of its two digits");

    // Every slot of the part written is marked first: exactly the slots of the reply change.
    ReadingsStore& s = store();
    const std::string Untouched = "untouched slot";  // longer than any value field
    if (command == meter::CmdLive) {
        for (auto& slot : s.CurrentValues) slot.set(Untouched);
        storeLiveReading(s, asked, replied, fields);
        int changed = 0;
        for (int n = 0; n < ReadingsStore::CurrentSlots; ++n) {
            const std::string text = s.CurrentValues[static_cast<std::size_t>(n)].get();
            if (text == Untouched) continue;
            ++changed;
            require(n >= 1 && n <= 18 && isLiveText(text), "live slot with a wrong text");
        }
        require(changed == 1, "a live reply wrote other than one slot");
        return 0;
    }
    const std::int32_t count = TMemCom::periodCountFrom(fields.Value);
    require(count >= 0 && count <= ReadingsStore::MaxPeriodCount, "period count out of the store");
    const int period = data[2] % (count + 1);
    const int first = ReadingsStore::BlockSlots * period;
    auto slot = [&](int k) -> TextSlot& { return (*s.MemoryValues)[static_cast<std::size_t>(first + k)]; };
    for (int k = 0; k < ReadingsStore::BlockSlots; ++k) slot(k).set(Untouched);
    for (int which = 0; which < 3; ++which) storeStatistic(s, period, asked, which, replied, fields);
    int changed = 0;
    for (int k = 0; k < ReadingsStore::BlockSlots; ++k) {
        if (slot(k).get() == Untouched) continue;
        ++changed;
        require(k >= 1 && k <= 54, "statistic outside its parameter's slots");
    }
    require(changed == 3, "a statistic written outside its period's block");
    return 0;
}
