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
// and picks the meter up again by itself, whether or not the box is still open.
void deviceGone(SerialPort::Exchange& exchange, OperatorDialogs& dialogs) {
    exchange.release();
    dialogs.notifyError(msg::CheckConnection);
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
        if (receive(line)) return true;
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
    while (line.now() < deadline) {
        line.pause(FirstByteTry);
        while (line.now() < deadline && line.readByte(byte)) {
            if (byte == EchoTestByte) return true;
            buffer.push(byte);
        }
    }
    return false;
}

bool isSentByUs(std::uint8_t byte) { return byte == RejectByte || byte == EchoTestByte; }

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

bool ReceiveReply(ReceiveLine& line, ReplyFields& fields, char command,
                  std::span<const std::uint8_t> request) {
    ReceiveBuffer buffer;
    collect(line, buffer, 0);
    if (copyArriving(buffer.bytes(), request)) collect(line, buffer, buffer.stored());
    // The line's echo of the request: the reply comes after it. A copy with nothing after it is
    // the meter's own answer when that is byte for byte the request (a count of 0 periods is),
    // unless the line echoes: the test byte tells.
    std::size_t from = echoLength(buffer.bytes(), request);
    if (from > 0) collect(line, buffer, from);
    if (from > 0 && buffer.stored() == from && !lineEchoes(line, buffer) && buffer.stored() == from)
        from -= request.size();
    auto parsed = parseReply(buffer.bytes().subspan(from), command);
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
    // After a copy alone the meter gets the time of a reply to begin, as the worker's reads
    // give it, before the test byte is sent (on a two-wire line it would meet the answer).
    if (from > 0 && buffer.stored() == from) collect(line, buffer, from);
    if (from > 0 && !echoMatches(buffer.bytes().subspan(from), command) && !lineEchoes(line, buffer))
        from -= request.size();
    if (echoMatches(buffer.bytes().subspan(from), command)) return true;
    line.send(RejectByte);
    return false;
}

bool ProbeRequest(SerialPort& port, char command, std::uint32_t address, std::uint32_t argument) {
    const RequestFrame frame = buildRequest(command, address, argument);
    return sendWithResends(port, port.dialogs(), frame, ProbeWait,
                           [&](ReceiveLine& line) { return ReceiveEcho(line, command, frame); });
}

}  // namespace lumo::meter
