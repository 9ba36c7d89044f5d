#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/messages.h"
#include "link/meter_protocol.h"
#include "sim/meter_server.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::meter;
using namespace lumo::test;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

std::string text(const RequestFrame& f) { return {f.begin(), f.end()}; }

// The bytes of `s` with every '#' turned into a zero byte.
std::vector<std::uint8_t> withZeros(std::string s) {
    for (char& c : s)
        if (c == '#') c = '\0';
    return bytes(s);
}

// What the program wrote for `frames` sends of a request that got no good reply: each frame
// followed by the reject byte.
std::string sendsWithRejects(const std::string& frame, int frames) {
    std::string s;
    for (int i = 0; i < frames; ++i) s += frame + '\x03';
    return s;
}

}  // namespace

// ---- Frames and replies as bytes ----

TEST(MeterFrame, RequestIsTildeLetterAddressArgumentAndCrLf) {
    EXPECT_EQ(text(buildRequest('D', 10, 0)), "~D000A00000000\r\n");
    EXPECT_EQ(text(buildRequest('A', 99 * 256 + 18, 0x1234ABCD)), "~A63121234ABCD\r\n");
    // Higher address digits are cut off.
    EXPECT_EQ(text(buildRequest('N', 0x10101, 0)), "~N010100000000\r\n");
}

TEST(MeterFrame, GoodReplyGivesParameterNumberAndValue) {
    auto r = parseReply(bytes("~D000A0230.500\r"), 'D');
    ASSERT_TRUE(r);
    EXPECT_EQ(r->AddressText, "0x000A");
    EXPECT_EQ(r->ParamNo, 10);
    EXPECT_EQ(r->ValueHead, "0230");
    EXPECT_EQ(r->ValueTail, ".500");
    EXPECT_EQ(r->Value, "0230,500");

    // Offsets 2 and 3 are not read; the parameter digits are hexadecimal.
    EXPECT_EQ(parseReply(bytes("~DZZ010000.000\r\n"), 'D')->ParamNo, 1);
    EXPECT_EQ(parseReply(bytes("~D00120000.000\r\n"), 'D')->ParamNo, 18);
    EXPECT_EQ(parseReply(bytes("~D00ff0000.000\r\n"), 'D')->ParamNo, 255);
}

TEST(MeterFrame, OnlyTheFirstPointBecomesAComma) {
    EXPECT_EQ(parseReply(bytes("~D00011.2.3.45\r\n"), 'D')->Value, "1,2.3.45");
    EXPECT_EQ(parseReply(bytes("~O00000000000A\r\n"), 'O')->Value, "0000000A");
}

TEST(MeterFrame, EachValuePieceEndsAtItsFirstZeroByte) {
    auto r = parseReply(withZeros("~D000112#4567#8\r\n"), 'D');
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ValueHead, "12");
    EXPECT_EQ(r->ValueTail, "567");
    EXPECT_EQ(r->Value, "12567");
    // A zero byte among the parameter digits cuts them short: "0x000" is parameter 0.
    EXPECT_EQ(parseReply(withZeros("~D000#0001.000\r\n"), 'D')->ParamNo, 0);
    // A zero byte at offset 2 leaves no digits at all: a bad reply.
    EXPECT_FALSE(parseReply(withZeros("~D##000001.000\r\n"), 'D'));
}

TEST(MeterFrame, FrameStartIsLookedForAtEvenOffsetsOnly) {
    EXPECT_FALSE(parseReply(bytes("x~D00010230.500\r\n"), 'D'));
    EXPECT_EQ(parseReply(bytes("xx~D00010230.500\r\n"), 'D')->Value, "0230,500");
    // The first '~' at an even offset wins, even when a later one starts a better frame.
    EXPECT_FALSE(parseReply(bytes("~X~D00010230.500\r\n"), 'D'));
    EXPECT_EQ(findFrameStart(bytes("a~b~~")), 4u);
    EXPECT_FALSE(findFrameStart(bytes("a~b~")));
}

TEST(MeterFrame, ReplyNeedsFifteenBytesFromTheTildeAndTheRightEcho) {
    EXPECT_FALSE(parseReply(bytes("~D00010230.500"), 'D'));  // 14 bytes
    EXPECT_TRUE(parseReply(bytes("~D00010230.500\r"), 'D')); // 15 bytes
    EXPECT_FALSE(parseReply(bytes("~O00010230.500\r\n"), 'D'));
    EXPECT_FALSE(parseReply({}, 'D'));
}

TEST(MeterFrame, NonHexParameterDigitsMakeABadReply) {
    EXPECT_FALSE(parseReply(bytes("~D00G?0230.500\r\n"), 'D'));
    EXPECT_FALSE(parseReply(bytes("~D00 10230.500\r\n"), 'D'));
}

TEST(MeterFrame, EchoCheckNeedsOnlyTheLetterAfterAnEvenTilde) {
    EXPECT_TRUE(echoMatches(bytes("~s"), 's'));
    EXPECT_TRUE(echoMatches(bytes("ab~s"), 's'));
    EXPECT_FALSE(echoMatches(bytes("~"), 's'));
    EXPECT_FALSE(echoMatches(bytes("a~s"), 's'));
    EXPECT_FALSE(echoMatches(bytes("~D0000"), 's'));
}

TEST(MeterFrame, ReceiveBufferKeeps1024BytesAndCountsTheRest) {
    ReceiveBuffer b;
    for (int i = 0; i < 1500; ++i) b.push(static_cast<std::uint8_t>(i));
    EXPECT_EQ(b.stored(), 1024u);
    EXPECT_EQ(b.received(), 1500u);
    EXPECT_EQ(b.bytes()[1023], static_cast<std::uint8_t>(1023));
}

// ---- Exchanges on a pseudo-terminal, the meter's side played by the test ----

class MeterExchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenPort(pty.slavePath())); }
    bool send(char command, std::uint32_t address) {
        return SendRequest(port, dialogs, fields, command, address, 0);
    }

    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort port{dialogs};
    ReplyFields fields;
};

TEST_F(MeterExchange, GoodReplyIsTakenAtTheFirstSend) {
    pty.send(bytes("~D000A0230.500\r\n"));
    fields.ParamNo = 3;
    EXPECT_TRUE(send('D', 10));
    EXPECT_EQ(fields.ParamNo, 10);
    EXPECT_EQ(fields.Value, "0230,500");
    EXPECT_EQ(fields.AddressText, "0x000A");
    EXPECT_EQ(text(pty.receive(16)), "~D000A00000000\r\n");
    EXPECT_TRUE(pty.receive(1, 50).empty());  // no reject byte after a good reply
}

TEST_F(MeterExchange, SilentMeterGetsFourSendsEachWithARejectByte) {
    fields.ParamNo = 7;
    EXPECT_FALSE(send('D', 1));
    EXPECT_EQ(text(pty.receive(100, 300)), sendsWithRejects("~D000100000000\r\n", 4));
    // The texts say "нет"; the parameter number stays that of the last good reply.
    EXPECT_EQ(fields.Value, NoValue);
    EXPECT_EQ(fields.ValueHead, NoValue);
    EXPECT_EQ(fields.ValueTail, NoValue);
    EXPECT_EQ(fields.AddressText, NoValue);
    EXPECT_EQ(fields.ParamNo, 7);
    EXPECT_TRUE(port.PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(MeterExchange, StrayLeadingByteIsRejectedAndTheRequestRepeated) {
    pty.send(bytes("x~D00010230.500\r\n"));
    EXPECT_FALSE(send('D', 1));
    EXPECT_EQ(text(pty.receive(100, 300)), sendsWithRejects("~D000100000000\r\n", 4));
}

TEST_F(MeterExchange, ResendIsAnsweredAfterABadReply) {
    // A reply echoing another command, then (as the meter answers the resend) a good one.
    pty.send(bytes("~O00010230.500\r\n"));
    std::thread meter([&] {
        auto first = pty.receive(17);       // the request and the reject byte
        auto second = pty.receive(16);      // the resend
        if (first.size() == 17 && second.size() == 16) pty.send(bytes("~D00010231.000\r\n"));
    });
    EXPECT_TRUE(send('D', 1));
    meter.join();
    EXPECT_EQ(fields.Value, "0231,000");
}

TEST_F(MeterExchange, FortyBytesWithoutPauseAreAllStored) {
    // Two frames in one burst; the first even '~' is at offset 24 since the leading junk
    // holds '~' only at odd offsets.
    std::string burst = "a~b~c~d~e~f~g~h~i~j~k~l~~D00020001.250\r\n";
    ASSERT_EQ(burst.size(), 40u);
    pty.send(bytes(burst));
    EXPECT_TRUE(send('D', 2));
    EXPECT_EQ(fields.ParamNo, 2);
    EXPECT_EQ(fields.Value, "0001,250");
}

TEST_F(MeterExchange, ReplyOfFifteenBytesIsGoodButFourteenIsNot) {
    pty.send(bytes("~D00010230.500"));
    std::thread meter([&] {
        pty.receive(17);
        pty.receive(16);
        pty.send(bytes("~D00010230.500\r"));
    });
    EXPECT_TRUE(send('D', 1));
    meter.join();
    EXPECT_EQ(fields.Value, "0230,500");
}

TEST_F(MeterExchange, LongReplyIsDrainedAndItsFirst1024BytesJudged) {
    std::string reply = "~D00050042.000\r\n";
    reply += std::string(2000, '7');
    pty.send(bytes(reply));
    EXPECT_TRUE(send('D', 5));
    EXPECT_EQ(fields.Value, "0042,000");
    // Nothing of the long reply is left on the line for the next exchange.
    pty.send(bytes("~D00060043.000\r\n"));
    EXPECT_TRUE(send('D', 6));
    EXPECT_EQ(fields.Value, "0043,000");

    // A frame that starts beyond the 1024 bytes kept is not seen.
    pty.send(bytes(std::string(1030, '7') + "~D00050042.000\r\n"));
    EXPECT_FALSE(send('D', 5));
}

TEST_F(MeterExchange, ClosedPortSendsAndShowsNothing) {
    port.ClosePort();
    fields.Value = "0230,500";
    EXPECT_FALSE(send('D', 1));
    EXPECT_EQ(fields.Value, NoValue);
    EXPECT_TRUE(pty.receive(1, 50).empty());
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(MeterExchange, FailedWriteClosesThePortAndTellsTheOperatorOnce) {
    pty.hangUp();
    EXPECT_FALSE(send('D', 1));
    EXPECT_FALSE(port.PortOpen());
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].text, msg::CheckConnection);
    EXPECT_EQ(dialogs.messages()[0].caption, msg::CaptionError);
    EXPECT_EQ(dialogs.messages()[0].icon, MessageIcon::Error);
    // Later calls are silent.
    EXPECT_FALSE(send('D', 2));
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(dialogs.messages().size(), 1u);
}

TEST_F(MeterExchange, ProbeChecksTheEchoOnly) {
    pty.send(bytes("~s"));  // two bytes are enough
    EXPECT_TRUE(ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(text(pty.receive(16)), "~s000000000000\r\n");
    EXPECT_TRUE(pty.receive(1, 50).empty());

    // No answer: four sends, 50 ms apart, each followed by the reject byte.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms);
    EXPECT_EQ(text(pty.receive(100, 300)), sendsWithRejects("~s000000000000\r\n", 4));
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(MeterExchange, ProbeOfABabblingLineEndsInBoundedTime) {
    const int master = pty.master();
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread babble([&] {
        const std::string z(64, 'z');
        while (!stop) {
            pollfd p{master, POLLOUT, 0};
            if (::poll(&p, 1, 10) > 0 && (p.revents & POLLOUT)) (void)!::write(master, z.data(), z.size());
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    // Four sends, each at most 50 ms of pause and CollectLimit of reading.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4 * (ProbeWait + CollectLimit) + 1s);
    stop = true;
    babble.join();
}

TEST(MeterExchangeWithSim, WriteFailingOnTheResendShowsTheMessageOnceAndStops) {
    // The meter gives a wrong echo to the first send and hangs up right after it.
    sim::MeterConfig config;
    config.hangUpAfter = 1;
    config.faults.push_back({.fault = sim::Fault::WrongEcho});
    sim::MeterServer meter(config);
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    ReplyFields fields;
    EXPECT_FALSE(SendRequest(port, dialogs, fields, 'D', 1, 0));
    EXPECT_TRUE(meter.waitForHangUp(5s));
    EXPECT_EQ(meter.requestCount(), 1u);
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
}

TEST(MeterExchangeWithSim, ProbeOfTheSimulatedMeterSucceeds) {
    sim::MeterServer meter(sim::MeterConfig{});
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    EXPECT_TRUE(ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(meter.requests(), (std::vector<sim::Request>{{'s', 0, 0}}));
}
