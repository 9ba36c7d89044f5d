#pragma once
// The meter's request/reply protocol.
//
// A request is 16 bytes: '~', the command letter, the address as 4 upper-case hex digits, the
// argument as 8 upper-case hex digits, and CR LF as a fixed filler in bytes 14 and 15.
// A reply is found in the received bytes by its '~' at an even offset: '~', the echo of the
// command, two unread bytes, two hex digits of the parameter number, the 8-character value
// field, and at least one more byte.
//
// Two paths use it: the workers' SendRequest (checks the reply and extracts its fields) and
// the window's ProbeRequest (checks the echo only). Both resend up to three times after a bad
// reply, send the reject byte 0x03 after every bad reply, and on a failed write close the
// port and tell the operator. One call holds the port's exchange lock from its first write to
// its last read; the lock is released before a message box is shown. A device that went away
// (the port closed itself and waits for it) is told to the operator without waiting for the
// box, so the caller goes on at once.
//
// A line that echoes what is sent (RS-485 adapters often do, a loopback plug always does)
// returns the request itself before any reply: a received frame that is exactly the request
// just sent is skipped, and the reply is read on for. A line may damage its echo (a byte lost,
// repeated or garbled), and a frame that is the request but for a few such bytes is no reply
// either: a reading's value has its decimal point, which no copy of a request has; a count of
// periods or the probe's answer may be the request's own zeros with a digit changed (a count of
// 0 is the request itself), and such a frame counts as the meter's only once the line has shown
// that it does not echo (the test byte does not come back). Else it is a bad reply: the reject
// byte, and the request is sent again.
//
// Framing and parsing are pure functions over bytes, below the port-level operations.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/messages.h"
#include "link/serial_port.h"

namespace lumo {

class OperatorDialogs;

namespace meter {

inline constexpr std::size_t FrameSize = 16;
inline constexpr std::uint8_t FrameStart = '~';
inline constexpr std::uint8_t RejectByte = 0x03;
// Sent to find out whether the line echoes (a meter skips bytes before a '~').
inline constexpr std::uint8_t EchoTestByte = 0xFF;
// Bytes 14 and 15 of every request.
inline constexpr std::uint8_t Filler[2] = {'\r', '\n'};
// From the '~' on, a good reply on the worker path has at least this many bytes.
inline constexpr std::size_t MinReplySize = 15;
// From this many stored bytes on, an empty read ends a reply at once.
inline constexpr std::size_t GapRuleSize = 16;
// The receive buffer keeps this many bytes; further bytes are read off the line and dropped.
inline constexpr std::size_t ReceiveBufferSize = 1024;
// Sends of one request: the first and three resends.
inline constexpr int Attempts = 4;
// A frame that is the request but for this many bytes lost, repeated or changed may be the
// line's echo of it.
inline constexpr std::size_t CopyDamage = 2;

// The commands the program sends.
inline constexpr char CmdLive = 'D';    // live value of parameter n, address n
inline constexpr char CmdCount = 'O';   // number of stored periods, address 0
inline constexpr char CmdMin = 'N';     // statistics of a period, address period*256 + n
inline constexpr char CmdMax = 'X';
inline constexpr char CmdAvg = 'A';
inline constexpr char CmdProbe = 's';   // connection probe, address 0

// The protocol's pauses.
inline constexpr auto AfterWrite = std::chrono::milliseconds(2);        // worker path
inline constexpr auto FirstByteTry = std::chrono::milliseconds(2);      // before each try
inline constexpr int FirstByteTries = 20;
inline constexpr auto Gap = std::chrono::milliseconds(15);              // short reply's gap
inline constexpr auto AfterGap = std::chrono::milliseconds(2);
inline constexpr auto ProbeWait = std::chrono::milliseconds(50);        // window path
// How long the test byte is waited for to come back from a line that echoes. A line that
// echoes gives it back within a few milliseconds; the wait is long because a line that does not
// echo is told only by its not coming, and a busy computer may pass the byte on late.
inline constexpr auto EchoTestWait = std::chrono::milliseconds(200);
// The bytes read at most at each look for the test byte (a late reply may come before it).
inline constexpr std::size_t EchoTestLook = 64;
// Collecting a reply stops after this long even if the line never falls silent, so that a
// babbling device cannot stall a worker or the window.
inline constexpr auto CollectLimit = std::chrono::milliseconds(300);

// The text a reading holds when no good reply gave it a value.
inline constexpr const char* NoValue = msg::None;

using RequestFrame = std::array<std::uint8_t, FrameSize>;

// The request frame; the address and argument are cut to 4 and 8 hex digits.
RequestFrame buildRequest(char command, std::uint32_t address, std::uint32_t argument);

// The reply fields of a worker: what the last SendRequest extracted.
struct ReplyFields {
    std::string AddressText;  // "0x00" and the reply's two parameter digits
    std::string ValueHead;    // reply offsets 6 to 9
    std::string ValueTail;    // reply offsets 10 to 13
    std::string Value;        // head and tail joined, the first '.' turned into ','
    std::int32_t ParamNo = 0; // AddressText read as hexadecimal
};

// The bytes one receive step stored: at most ReceiveBufferSize of them; later bytes are read
// off the line and dropped.
class ReceiveBuffer {
public:
    void push(std::uint8_t byte) {
        if (stored_.size() < ReceiveBufferSize) stored_.push_back(byte);
    }
    std::span<const std::uint8_t> bytes() const { return stored_; }
    std::size_t stored() const { return stored_.size(); }

private:
    std::vector<std::uint8_t> stored_;
};

// The offset of the first '~' at an even offset, or nothing.
std::optional<std::size_t> findFrameStart(std::span<const std::uint8_t> received);

// Text of a reply piece: the bytes up to the first zero byte.
std::string pieceText(std::span<const std::uint8_t> piece);

// The worker path's check and extraction. A reply is good when a '~' stands at an even
// offset, the byte after it is the command, at least 15 bytes follow from the '~' on, the
// parameter digits are hexadecimal, and the value field holds no line end and no '~' (the
// frame's end or the next frame inside it: bytes were lost on the line). A good reply's fields
// are returned; a bad one gives none.
std::optional<ReplyFields> parseReply(std::span<const std::uint8_t> received, char command);

// The window path's check: a '~' at an even offset followed by the command letter.
bool echoMatches(std::span<const std::uint8_t> received, char command);

// How many of the received bytes are the line's own echo of `request`: the request exactly,
// where a reply's '~' would be (at an even offset), or right after the bytes this program
// sends besides requests (the reject and echo test bytes, echoed as well); 0 when there is no
// such copy.
std::size_t echoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request);

// How many of the bytes of `frame` (from its '~' on) make a copy of `request` that the line
// may have damaged: the length of the stretch that is the request but for at most CopyDamage
// bytes lost, repeated or changed (the closest such stretch), or 0 when there is none.
std::size_t damagedCopyLength(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> request);

// ---- Exchanges on the port ----

// Worker path, one call: sets the four texts of `fields` to "нет", then sends the request up
// to four times and extracts the first good reply into `fields`. A failed write closes the
// port and shows "Проверьте соединение с прибором" through `dialogs` (after the port is given
// up) and returns false. With the port closed it returns false at once, sends nothing and
// shows nothing.
bool SendRequest(SerialPort& port, OperatorDialogs& dialogs, ReplyFields& fields, char command,
                 std::uint32_t address, std::uint32_t argument);

// What one receive step needs of the line: a byte if one has arrived (never waiting), a
// single byte sent (the reject byte, the echo test), the protocol's pauses and the time. The
// port's exchange is one such line; the receive fuzzer feeds its bytes through another.
class ReceiveLine {
public:
    using Clock = std::chrono::steady_clock;
    virtual bool readByte(std::uint8_t& byte) = 0;
    virtual void send(std::uint8_t byte) = 0;
    virtual void pause(std::chrono::milliseconds d) = 0;
    virtual Clock::time_point now() = 0;

protected:
    ~ReceiveLine() = default;
};

// Worker path, one receive step after `request` was sent; sends the reject byte after a bad
// reply. The line's echo of the request is skipped and the reply read on for; a damaged echo
// is a bad reply. The fields are changed only by a good reply.
bool ReceiveReply(ReceiveLine& line, ReplyFields& fields, char command,
                  std::span<const std::uint8_t> request);

// Window path: the connection probe. Pauses 50 ms after each send and checks the echo only.
// Messages go through the port's dialogs.
bool ProbeRequest(SerialPort& port, char command, std::uint32_t address, std::uint32_t argument);

// Window path, one receive step after `request` was sent: reads what has arrived and checks
// the echo; sends the reject byte when it does not match. When all that came is a copy of the
// request itself (a meter's answer to the probe may look exactly like it), the echo test byte
// tells a line that echoes, whose copy is no answer (a loopback plug is no meter); a damaged
// copy of the request is no answer either where the line echoes.
bool ReceiveEcho(ReceiveLine& line, char command, std::span<const std::uint8_t> request);

}  // namespace meter

using meter::ProbeRequest;

}  // namespace lumo
