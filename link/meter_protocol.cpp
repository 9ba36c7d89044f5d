#include "link/meter_protocol.h"

#include <algorithm>
#include <thread>

#include "common/messages.h"
#include "common/numtext.h"
#include "common/operator_dialogs.h"

namespace lumo::meter {

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// After a failed write: close the port inside the exchange, give the port up, then tell the
// operator (the box may wait for the window's thread, which may want the port meanwhile).
void failedWrite(SerialPort::Exchange& exchange, OperatorDialogs& dialogs) {
    exchange.ClosePort();
    exchange.release();
    dialogs.error(msg::CheckConnection);
}

// After the device went away: the port has closed itself and waits for it to come back. The
// operator is told without the caller waiting for the box: a live cycle goes on (with "нет")
// and picks the meter up again by itself, whether or not the box is still open. The window's
// "нет" shows the state at every moment; the box tells of the outage once.
void deviceGone(SerialPort::Exchange& exchange, OperatorDialogs& dialogs) {
    // Once per outage: a cable that comes and goes is not told again until the meter has
    // answered in between.
    const bool tell = exchange.firstWordOfOutage();
    exchange.release();
    if (tell) dialogs.notifyError(msg::CheckConnection);
}

// The port's exchange as the line a receive step reads.
class ExchangeLine final : public ReceiveLine {
public:
    explicit ExchangeLine(SerialPort::Exchange& exchange) : exchange_(exchange) {}
    bool readByte(std::uint8_t& byte) override { return exchange_.readByte(byte); }
    void send(std::uint8_t byte) override {
        (void)exchange_.write(&byte, 1);  // the meter may not even hear it; nothing to do then
    }
    void pause(std::chrono::milliseconds d) override { std::this_thread::sleep_for(d); }
    Clock::time_point now() override { return Clock::now(); }

private:
    SerialPort::Exchange& exchange_;
};

// One exchange: the frame sent up to four times, each send followed by the pause and the
// receive step, under the port's exchange lock. Nothing is sent when the port is closed.
template <class Receive>
bool sendWithResends(SerialPort& port, OperatorDialogs& dialogs, const RequestFrame& frame,
                     std::chrono::milliseconds wait, Receive receive) {
    if (!port.PortOpen()) return false;
    auto exchange = port.exchange();
    // Closed while this call waited for the port, or gone during the last receive step.
    for (int attempt = 0; attempt < Attempts && exchange.PortOpen(); ++attempt) {
        if (!exchange.write(frame.data(), frame.size())) {
            exchange.deviceGone() ? deviceGone(exchange, dialogs) : failedWrite(exchange, dialogs);
            return false;
        }
        std::this_thread::sleep_for(wait);
        ExchangeLine line(exchange);
        if (receive(line)) {
            exchange.meterAnswered();
            return true;
        }
    }
    if (exchange.deviceGone()) deviceGone(exchange, dialogs);
    return false;
}

// One receive step's collecting, of the bytes after `from`: unless some are there already, it
// waits for a first byte (up to 20 tries of 2 ms), then stores bytes until the line falls
// silent: a gap ends a reply of 16 bytes or more at once, a shorter one gets one more chance
// after 15 ms. It stops after CollectLimit in any case.
void collect(ReceiveLine& line, ReceiveBuffer& buffer, std::size_t from) {
    std::uint8_t byte = 0;
    if (buffer.stored() <= from) {
        bool got = false;
        for (int i = 0; i < FirstByteTries && !got; ++i) {
            line.pause(FirstByteTry);
            got = line.readByte(byte);
        }
        if (!got) return;
        buffer.push(byte);
    }
    const auto deadline = line.now() + CollectLimit;
    while (line.now() < deadline) {
        if (line.readByte(byte)) {
            buffer.push(byte);
            continue;
        }
        if (buffer.stored() - from >= GapRuleSize) break;
        line.pause(Gap);
        if (line.readByte(byte)) {
            buffer.push(byte);
            continue;
        }
        line.pause(AfterGap);
        break;
    }
}

// Sends the echo test byte and reads for a while: a line that echoes returns it. Other bytes
// that come meanwhile are kept.
bool lineEchoes(ReceiveLine& line, ReceiveBuffer& buffer) {
    line.send(EchoTestByte);
    const auto deadline = line.now() + EchoTestWait;
    std::uint8_t byte = 0;
    for (bool last = false; !last;) {
        line.pause(FirstByteTry);
        last = line.now() >= deadline;
        // What has come by now counts, also when this thread gets to it late (a busy machine);
        // a line that never falls silent is read no further than a few frames a look.
        for (std::size_t n = 0; n < EchoTestLook && line.readByte(byte); ++n) {
            if (byte == EchoTestByte) return true;
            buffer.push(byte);
        }
    }
    return false;
}

bool isSentByUs(std::uint8_t byte) { return byte == RejectByte || byte == EchoTestByte; }

// The value field of a frame (offsets 6 to 13 from its '~').
constexpr std::size_t ValueAt = 6, ValueSize = 8;

// A value field with a decimal point is a reading, never the request's copy: no byte of a
// request is a point, and none turns into one by being lost, repeated or having a bit flipped.
bool valueHoldsPoint(std::span<const std::uint8_t> frame) {
    for (std::size_t i = ValueAt; i < ValueAt + ValueSize && i < frame.size(); ++i)
        if (frame[i] == '.') return true;
    return false;
}

// The commands whose replies carry a reading: decimal text with its point (0000.000 for zero).
bool isReadingCommand(char command) {
    return command == CmdLive || command == CmdMin || command == CmdMax || command == CmdAvg;
}

// The frame at `start` is the request but for a few bytes (or none): the line's echo of it,
// damaged on the way, or the meter's answer where that may look like the request. A reading's
// value field has its point, so one without it is the copy's own zeros, never a reading. A count
// of periods or the probe's answer is the request's zeros with a digit or two changed (a count
// of 0 is the request itself): the meter's answer unless the line echoes. An echo is followed by
// the reply, so the step reads on after the frame: a further frame, or the echo test byte coming
// back, tells a line that echoes. True when no reply may be taken from the frame.
bool copyOfRequest(ReceiveLine& line, ReceiveBuffer& buffer, std::size_t start, char command,
                   std::span<const std::uint8_t> request) {
    const auto frame = buffer.bytes().subspan(start);
    const std::size_t length = damagedCopyLength(frame, request);
    if (length == 0 || valueHoldsPoint(frame)) return false;
    // The reply that follows a line's echo is read off the line in any case, so that it does
    // not come before the next send's.
    collect(line, buffer, start + length);
    if (isReadingCommand(command)) return true;
    const auto after = buffer.bytes().subspan(start + 1);
    if (std::find(after.begin(), after.end(), FrameStart) != after.end()) return true;
    const std::size_t stored = buffer.stored();
    // Anything else that comes meanwhile is no part of a lone answer either.
    return lineEchoes(line, buffer) || buffer.stored() != stored;
}

// Where a copy of the request would begin in the received bytes: right after the bytes this
// program sends besides requests, or at the frame start.
template <class Test>
bool copyAt(std::span<const std::uint8_t> received, Test test) {
    std::size_t ours = 0;
    while (ours < received.size() && isSentByUs(received[ours])) ++ours;
    if (ours > 0 && test(ours)) return true;
    const auto start = findFrameStart(received);
    return start && test(*start);
}

// The received bytes end in the beginning of a copy of the request: the rest of the line's
// echo is still on its way (a busy line may pause inside it), so the receive step reads on.
bool copyArriving(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request) {
    return copyAt(received, [&](std::size_t at) {
        const std::size_t n = received.size() - at;
        return n > 0 && n < request.size() &&
               std::equal(received.begin() + static_cast<std::ptrdiff_t>(at), received.end(), request.begin());
    });
}

}  // namespace

RequestFrame buildRequest(char command, std::uint32_t address, std::uint32_t argument) {
    RequestFrame f{};
    f[0] = FrameStart;
    f[1] = static_cast<std::uint8_t>(command);
    const std::string digits = hexUpper(address, 4) + hexUpper(argument, 8);
    for (std::size_t i = 0; i < digits.size(); ++i) f[2 + i] = static_cast<std::uint8_t>(digits[i]);
    f[14] = Filler[0];
    f[15] = Filler[1];
    return f;
}

std::optional<std::size_t> findFrameStart(std::span<const std::uint8_t> received) {
    for (std::size_t i = 0; i < received.size(); i += 2)
        if (received[i] == FrameStart) return i;
    return std::nullopt;
}

std::string pieceText(std::span<const std::uint8_t> piece) {
    std::string s;
    for (std::uint8_t b : piece) {
        if (b == 0) break;
        s += static_cast<char>(b);
    }
    return s;
}

std::optional<ReplyFields> parseReply(std::span<const std::uint8_t> received, char command) {
    const auto start = findFrameStart(received);
    if (!start) return std::nullopt;
    const auto frame = received.subspan(*start);
    if (frame.size() < MinReplySize || frame[1] != static_cast<std::uint8_t>(command))
        return std::nullopt;

    ReplyFields r;
    // Offsets 2 and 3 are not read: they become "00" before the parameter digits.
    std::string address = pieceText(frame.subspan(2, 4));
    for (std::size_t i = 0; i < address.size() && i < 2; ++i) address[i] = '0';
    if (address.empty()) return std::nullopt;
    for (char c : address)
        if (!isHexDigit(c)) return std::nullopt;  // parameter digits that are no number
    // A line end or a '~' in the value field: the frame's end, or the next frame, came early.
    for (std::size_t i = ValueAt; i < ValueAt + ValueSize; ++i)
        if (frame[i] == '\r' || frame[i] == '\n' || frame[i] == FrameStart) return std::nullopt;
    r.AddressText = "0x" + address;
    r.ParamNo = parseHex32(r.AddressText).value_or(0);  // at most 4 digits: cannot fail

    r.ValueHead = pieceText(frame.subspan(6, 4));
    r.ValueTail = pieceText(frame.subspan(10, 4));
    r.Value = r.ValueHead + r.ValueTail;
    if (auto dot = r.Value.find('.'); dot != std::string::npos) r.Value[dot] = ',';
    return r;
}

bool echoMatches(std::span<const std::uint8_t> received, char command) {
    const auto start = findFrameStart(received);
    return start && *start + 1 < received.size() &&
           received[*start + 1] == static_cast<std::uint8_t>(command);
}

std::size_t echoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request) {
    std::size_t end = 0;
    copyAt(received, [&](std::size_t at) {
        const bool whole = !request.empty() && received.size() >= at + request.size() &&
                           std::equal(request.begin(), request.end(), received.begin() + static_cast<std::ptrdiff_t>(at));
        if (whole) end = at + request.size();
        return whole;
    });
    return end;
}

std::size_t damagedCopyLength(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> request) {
    // The edit distance between the request and each beginning of the frame (bytes lost,
    // repeated or changed), row by row over the request's bytes.
    const std::size_t n = request.size();
    const std::size_t longest = std::min(frame.size(), n + CopyDamage);
    if (n == 0 || longest + CopyDamage < n) return 0;
    std::vector<std::size_t> row(longest + 1), next(longest + 1);
    for (std::size_t j = 0; j <= longest; ++j) row[j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        next[0] = i;
        for (std::size_t j = 1; j <= longest; ++j)
            next[j] = std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (request[i - 1] != frame[j - 1])});
        row.swap(next);
    }
    std::size_t best = 0, bestDistance = CopyDamage + 1;
    for (std::size_t j = n - std::min(n, CopyDamage); j <= longest; ++j) {
        const auto off = [&](std::size_t k) { return k > n ? k - n : n - k; };
        if (row[j] < bestDistance || (row[j] == bestDistance && off(j) < off(best))) {
            best = j;
            bestDistance = row[j];
        }
    }
    return bestDistance <= CopyDamage ? best : 0;
}

bool ReceiveReply(ReceiveLine& line, ReplyFields& fields, char command,
                  std::span<const std::uint8_t> request) {
    ReceiveBuffer buffer;
    collect(line, buffer, 0);
    if (copyArriving(buffer.bytes(), request)) collect(line, buffer, buffer.stored());
    const bool reading = isReadingCommand(command);
    // The line's echo of the request: the reply comes after it. A reading is never a copy of
    // the request, so every copy in front is the line's (sends that a busy computer held back
    // come back together).
    std::size_t from = echoLength(buffer.bytes(), request);
    const bool copySkipped = from > 0;
    for (std::size_t more = from; reading && more > 0 && from < buffer.stored(); from += more)
        more = echoLength(buffer.bytes().subspan(from), request);
    if (from > 0) collect(line, buffer, from);
    // A copy with nothing after it is the meter's own answer when that is byte for byte the
    // request (a count of 0 periods is), unless the line echoes: the test byte tells.
    if (from > 0 && buffer.stored() == from && !reading && !lineEchoes(line, buffer) &&
        buffer.stored() == from)
        from -= request.size();
    auto parsed = parseReply(buffer.bytes().subspan(from), command);
    // The frame may still be a copy of the request, damaged by the line.
    if (parsed && (reading || !copySkipped) &&
        copyOfRequest(line, buffer, from + *findFrameStart(buffer.bytes().subspan(from)), command, request))
        parsed.reset();
    if (!parsed) {
        line.send(RejectByte);
        return false;
    }
    fields = std::move(*parsed);
    return true;
}

bool SendRequest(SerialPort& port, OperatorDialogs& dialogs, ReplyFields& fields, char command,
                 std::uint32_t address, std::uint32_t argument) {
    fields.AddressText = fields.ValueHead = fields.ValueTail = fields.Value = NoValue;
    const RequestFrame frame = buildRequest(command, address, argument);
    return sendWithResends(port, dialogs, frame, AfterWrite,
                           [&](ReceiveLine& line) { return ReceiveReply(line, fields, command, frame); });
}

bool ReceiveEcho(ReceiveLine& line, char command, std::span<const std::uint8_t> request) {
    ReceiveBuffer buffer;
    const auto deadline = line.now() + CollectLimit;
    std::uint8_t byte = 0;
    while (line.now() < deadline && line.readByte(byte)) buffer.push(byte);
    if (copyArriving(buffer.bytes(), request)) collect(line, buffer, buffer.stored());
    // A copy of the request followed by an answer: the copy was the line's echo. A copy alone
    // is the meter's answer, unless the line echoes: then it was the echo, and the answer is
    // what came after it.
    std::size_t from = echoLength(buffer.bytes(), request);
    const bool copySkipped = from > 0;
    // After a copy alone the meter gets the time of a reply to begin, as the worker's reads
    // give it, before the test byte is sent (on a two-wire line it would meet the answer).
    if (from > 0 && buffer.stored() == from) collect(line, buffer, from);
    if (from > 0 && !echoMatches(buffer.bytes().subspan(from), command) && !lineEchoes(line, buffer))
        from -= request.size();
    // A damaged copy of the request is no answer where the line echoes.
    if (echoMatches(buffer.bytes().subspan(from), command) &&
        (copySkipped || !copyOfRequest(line, buffer, *findFrameStart(buffer.bytes()), command, request)))
        return true;
    line.send(RejectByte);
    return false;
}

bool ProbeRequest(SerialPort& port, char command, std::uint32_t address, std::uint32_t argument) {
    const RequestFrame frame = buildRequest(command, address, argument);
    return sendWithResends(port, port.dialogs(), frame, ProbeWait,
                           [&](ReceiveLine& line) { return ReceiveEcho(line, command, frame); });
}

}  // namespace lumo::meter
