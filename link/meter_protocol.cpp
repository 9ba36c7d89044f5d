#include "link/meter_protocol.h"

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

// The port's exchange as the line a receive step reads.
class ExchangeLine final : public ReceiveLine {
public:
    explicit ExchangeLine(SerialPort::Exchange& exchange) : exchange_(exchange) {}
    bool readByte(std::uint8_t& byte) override { return exchange_.readByte(byte); }
    void sendReject() override {
        (void)exchange_.write(&RejectByte, 1);  // the meter may not even hear it; nothing to do then
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
    if (!exchange.PortOpen()) return false;  // closed while this call waited for the port
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (!exchange.write(frame.data(), frame.size())) {
            failedWrite(exchange, dialogs);
            return false;
        }
        std::this_thread::sleep_for(wait);
        ExchangeLine line(exchange);
        if (receive(line)) return true;
    }
    return false;
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

bool ReceiveReply(ReceiveLine& line, ReplyFields& fields, char command) {
    ReceiveBuffer buffer;
    std::uint8_t byte = 0;
    bool got = false;
    for (int i = 0; i < FirstByteTries && !got; ++i) {
        line.pause(FirstByteTry);
        got = line.readByte(byte);
    }
    if (got) {
        const auto deadline = line.now() + CollectLimit;
        for (;;) {
            buffer.push(byte);
            if (line.now() >= deadline) break;
            if (line.readByte(byte)) continue;
            // A gap: a reply still short of 16 bytes gets one more chance after 15 ms.
            if (buffer.stored() >= GapRuleSize) break;
            line.pause(Gap);
            if (line.readByte(byte)) continue;
            line.pause(AfterGap);
            break;
        }
    }
    auto parsed = parseReply(buffer.bytes(), command);
    if (!parsed) {
        line.sendReject();
        return false;
    }
    fields = std::move(*parsed);
    return true;
}

bool SendRequest(SerialPort& port, OperatorDialogs& dialogs, ReplyFields& fields, char command,
                 std::uint32_t address, std::uint32_t argument) {
    fields.AddressText = fields.ValueHead = fields.ValueTail = fields.Value = NoValue;
    return sendWithResends(port, dialogs, buildRequest(command, address, argument), AfterWrite,
                           [&](ReceiveLine& line) { return ReceiveReply(line, fields, command); });
}

bool ReceiveEcho(ReceiveLine& line, char command) {
    ReceiveBuffer buffer;
    const auto deadline = line.now() + CollectLimit;
    std::uint8_t byte = 0;
    while (line.now() < deadline && line.readByte(byte)) buffer.push(byte);
    if (echoMatches(buffer.bytes(), command)) return true;
    line.sendReject();
    return false;
}

bool ProbeRequest(SerialPort& port, char command, std::uint32_t address, std::uint32_t argument) {
    return sendWithResends(port, port.dialogs(), buildRequest(command, address, argument), ProbeWait,
                           [&](ReceiveLine& line) { return ReceiveEcho(line, command); });
}

}  // namespace lumo::meter
