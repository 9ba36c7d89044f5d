#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "common/messages.h"
#include "link/meter_protocol.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"
#include "support/sim_line.h"

using namespace lumo;
using namespace lumo::meter;
using namespace lumo::test;
using namespace std::chrono_literals;

namespace {

// The bytes of `s`, every '#' a zero byte.
std::vector<std::uint8_t> bytes(std::string s) {
    for (char& c : s)
        if (c == '#') c = '\0';
    return {s.begin(), s.end()};
}

template <class Bytes>
std::string text(const Bytes& b) {
    return {b.begin(), b.end()};
}

std::optional<ReplyFields> parse(const std::string& s, char command = 'D') {
    return parseReply(bytes(s), command);
}

// A new folder under /tmp, removed with everything in it.
struct ScratchFolder {
    ScratchFolder() {
        char name[] = "/tmp/lumo-line-XXXXXX";
        if (::mkdtemp(name)) path = name;
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

}  // namespace

TEST(MeterFrame, RequestIsTildeLetterAddressArgumentAndCrLf) {
    EXPECT_EQ(text(buildRequest('D', 10, 0)), "~D000A00000000\r\n");
    EXPECT_EQ(text(buildRequest('A', 99 * 256 + 18, 0x1234ABCD)), "~A63121234ABCD\r\n");
}

TEST(MeterFrame, GoodReplyGivesItsFields) {
    auto r = parse("~D000A0230.500\r");  // 15 bytes are enough
    ASSERT_TRUE(r);
    EXPECT_EQ(r->AddressText, "0x000A");
    EXPECT_EQ(r->ParamNo, 10);
    EXPECT_EQ(r->ValueHead, "0230");
    EXPECT_EQ(r->ValueTail, ".500");
    EXPECT_EQ(r->Value, "0230,500");
    // Offsets 2 and 3 are not read; only the first '.' becomes a ','.
    EXPECT_EQ(parse("~DZZ121.2.3.45\r\n")->ParamNo, 18);
    EXPECT_EQ(parse("~DZZ121.2.3.45\r\n")->Value, "1,2.3.45");
    EXPECT_EQ(parse("~O00000000000A\r\n", 'O')->Value, "0000000A");
    // Each piece ends at its own first zero byte.
    r = parse("~D000112#4567#8\r\n");
    EXPECT_EQ(r->ValueHead + "|" + r->ValueTail, "12|567");
    EXPECT_EQ(parse("~D000#0001.000\r\n")->ParamNo, 0);
}

TEST(MeterFrame, BadReplies) {
    EXPECT_FALSE(parse("x~D00010230.500\r\n"));   // '~' at an odd offset
    EXPECT_TRUE(parse("xx~D00010230.500\r\n"));   // at an even one
    EXPECT_FALSE(parse("~X~D00010230.500\r\n"));  // the first even '~' decides
    EXPECT_FALSE(parse("~D00010230.500"));        // 14 bytes
    EXPECT_FALSE(parse("~O00010230.500\r\n"));    // wrong echo
    EXPECT_FALSE(parse("~D00G?0230.500\r\n"));    // parameter digits that are no number
    EXPECT_FALSE(parse("~D##000001.000\r\n"));    // no parameter digits at all
    EXPECT_FALSE(parse(""));
    // The probe looks at the echo only.
    EXPECT_TRUE(echoMatches(bytes("ab~s"), 's'));
    EXPECT_FALSE(echoMatches(bytes("a~s"), 's'));
    EXPECT_FALSE(echoMatches(bytes("~"), 's'));
}

// ---- Exchanges on a pseudo-terminal, the meter played by the test ----

class MeterExchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenPort(pty.slavePath())); }
    bool send(char command, std::uint32_t address) {
        return SendRequest(port, dialogs, fields, command, address, 0);
    }
    // What the program wrote: `frame` sent `times` times, each followed by the reject byte.
    static std::string rejected(const std::string& frame, int times) {
        std::string s;
        for (int i = 0; i < times; ++i) s += frame + '\x03';
        return s;
    }

    PtyPair pty;
    ScriptedDialogs dialogs;
    SerialPort port{dialogs};
    ReplyFields fields;
};

TEST_F(MeterExchange, GoodReplyIsTakenAtTheFirstSend) {
    pty.send(bytes("~D000A0230.500\r\n"));
    EXPECT_TRUE(send('D', 10));
    EXPECT_EQ(fields.ParamNo, 10);
    EXPECT_EQ(fields.Value, "0230,500");
    EXPECT_EQ(text(pty.receive(17, 100)), "~D000A00000000\r\n");  // no reject byte
}

TEST_F(MeterExchange, AnEchoThatPausesBeforeItsLastByteIsNoReply) {
    // The line echoes the request with a pause before its last byte, then the meter answers:
    // 15 bytes of the echo alone would pass for a reply of "0".
    std::thread line([&] {
        const auto request = pty.receive(16);
        pty.send({request.begin(), request.end() - 1});
        std::this_thread::sleep_for(40ms);  // longer than a reply's gap
        pty.send({request.back()});
        pty.send(bytes("~D00010227.500\r\n"));
    });
    EXPECT_TRUE(send('D', 1));
    line.join();
    EXPECT_EQ(fields.Value, "0227,500");
}

TEST_F(MeterExchange, SilentMeterGetsFourSendsAndLeavesNone) {
    fields.ParamNo = 7;
    EXPECT_FALSE(send('D', 1));
    EXPECT_EQ(text(pty.receive(100, 300)), rejected("~D000100000000\r\n", 4));
    EXPECT_EQ(fields.Value, NoValue);
    EXPECT_EQ(fields.ValueHead, NoValue);
    EXPECT_EQ(fields.ValueTail, NoValue);
    EXPECT_EQ(fields.AddressText, NoValue);
    EXPECT_EQ(fields.ParamNo, 7);  // that of the last good reply
    EXPECT_TRUE(port.PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(MeterExchange, BurstIsStoredWholeAndLongRepliesAreDrained) {
    // 40 bytes at once: the first even '~' is at offset 24.
    pty.send(bytes("a~b~c~d~e~f~g~h~i~j~k~l~~D00020001.250\r\n"));
    EXPECT_TRUE(send('D', 2));
    EXPECT_EQ(fields.Value, "0001,250");
    // A reply of 2016 bytes: judged by its first 1024, the rest read off the line.
    pty.send(bytes("~D00050042.000\r\n" + std::string(2000, '7')));
    EXPECT_TRUE(send('D', 5));
    pty.send(bytes("~D00060043.000\r\n"));
    EXPECT_TRUE(send('D', 6));
    EXPECT_EQ(fields.Value, "0043,000");
    // A frame beyond the 1024 bytes kept is not seen.
    pty.send(bytes(std::string(1030, '7') + "~D00050042.000\r\n"));
    EXPECT_FALSE(send('D', 5));
}

TEST_F(MeterExchange, ClosedPortSendsAndShowsNothing) {
    port.ClosePort();
    fields.Value = "0230,500";
    EXPECT_FALSE(send('D', 1));
    EXPECT_EQ(fields.Value, NoValue);
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_TRUE(pty.receive(1, 50).empty());
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
    EXPECT_FALSE(send('D', 2));
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(dialogs.messages().size(), 1u);
}

TEST_F(MeterExchange, ProbeChecksTheEchoOnly) {
    pty.send(bytes("~s"));
    EXPECT_TRUE(ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(text(pty.receive(17, 100)), "~s000000000000\r\n");

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 4 * ProbeWait);
    EXPECT_EQ(text(pty.receive(100, 300)), rejected("~s000000000000\r\n", 4));
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
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProbeRequest(port, 's', 0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4 * (ProbeWait + CollectLimit) + 1s);
    stop = true;
    babble.join();
}

TEST(MeterExchangeWithSim, WriteFailingOnTheResendShowsTheMessageOnceAndStops) {
    // The meter gives a wrong echo to the first send and hangs up right after it.
    SimLine line({.hangUpAfter = 1, .faults = {{.fault = sim::Fault::WrongEcho}}});
    EXPECT_FALSE(line.send('D', 1));
    EXPECT_TRUE(line.meter.waitForHangUp(5s));
    EXPECT_EQ(line.meter.requestCount(), 1u);
    EXPECT_FALSE(line.port.PortOpen());
    EXPECT_EQ(line.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
}

TEST(MeterFrame, TheLinesEchoOfTheRequestIsFoundWhereAReplyWouldBe) {
    const auto request = buildRequest('D', 10, 0);
    const std::string req = text(request), reply = "~D000A0230.500\r\n";
    EXPECT_EQ(echoLength(bytes(req + reply), request), 16u);
    EXPECT_EQ(echoLength(bytes("xx" + req), request), 18u);         // after noise, at an even offset
    EXPECT_EQ(echoLength(bytes("\x03" + req + reply), request), 17u);  // our reject byte came back first
    EXPECT_EQ(echoLength(bytes("x" + req), request), 0u);           // odd, and not after our own byte
    EXPECT_EQ(echoLength(bytes(reply), request), 0u);
    EXPECT_EQ(echoLength(bytes(req.substr(0, 15)), request), 0u);   // a copy cut short is none
}

TEST(MeterExchangeWithSim, ALineThatEchoesGivesTheMetersReadingsAndALoopbackPlugIsNoMeter) {
    // Every request comes back before the meter's reply; the reply is what counts, not the
    // request read as a reading of "0".
    SimLine echoing({}, {.echo = true});
    ASSERT_TRUE(echoing.opened);
    sim::MeterModel model({});
    for (std::uint32_t n : {1u, 2u}) {
        const auto reply = model.answer({'D', static_cast<std::uint16_t>(n), 0});
        ASSERT_TRUE(echoing.send('D', n));
        EXPECT_EQ(echoing.fields.ParamNo, static_cast<std::int32_t>(n));
        EXPECT_EQ(echoing.fields.ValueHead + echoing.fields.ValueTail, text(reply).substr(6, 8));
    }
    EXPECT_TRUE(ProbeRequest(echoing.port, 's', 0, 0));

    // A loopback plug: everything comes back and nothing answers.
    SimLine loopback({.faults = {{.fault = sim::Fault::Silence}}}, {.echo = true});
    ASSERT_TRUE(loopback.opened);
    EXPECT_FALSE(ProbeRequest(loopback.port, 's', 0, 0));
    EXPECT_FALSE(loopback.send('D', 1));
    EXPECT_EQ(loopback.fields.Value, NoValue);
    EXPECT_TRUE(loopback.port.PortOpen());
    EXPECT_TRUE(echoing.dialogs.messages().empty() && loopback.dialogs.messages().empty());

    // Nor is one whose echo of the probe lost its last byte: "~s" and its zeros are no answer.
    SimLine lossy({.faults = {{.fault = sim::Fault::Silence}}},
                  {.echo = true, .echoDamage = {.damage = sim::EchoDamage::Drop, .offset = 15}});
    ASSERT_TRUE(lossy.opened);
    EXPECT_FALSE(ProbeRequest(lossy.port, 's', 0, 0));
    EXPECT_EQ(lossy.meter.echoesDamaged(), 4);
}

TEST(MeterExchangeWithSim, AMeterPluggedInAgainIsOpenedByItsLinkWithoutBeingAsked) {
    // The port is named by a link, as under /dev/serial/by-id/. The adapter comes back while
    // the program still holds its old device, so it comes back as another one (ttyUSB0 that
    // returns as ttyUSB1), behind the same link.
    ScratchFolder folder;
    const std::string link = folder.path + "/usb-meter";
    SimLine line({}, {.link = link});
    ASSERT_TRUE(line.opened);
    ASSERT_TRUE(line.send('D', 1));
    const std::string first = line.meter.devicePath();
    line.meter.unplug();
    line.meter.replug();
    EXPECT_NE(line.meter.devicePath(), first);

    // The next exchange finds the device gone: the port closes, the operator is told once.
    EXPECT_FALSE(line.send('D', 2));
    EXPECT_FALSE(line.port.PortOpen());
    EXPECT_TRUE(line.port.AwaitingDevice());
    EXPECT_EQ(line.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(ProbeRequest(line.port, 's', 0, 0));  // closed meanwhile: silent

    // The port opens the link again by itself, and the meter answers on the new device.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!line.port.PortOpen() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(line.port.PortOpen());
    EXPECT_TRUE(line.port.AwaitingDevice());  // open, but the meter not heard yet
    EXPECT_TRUE(line.send('D', 3));
    EXPECT_FALSE(line.port.AwaitingDevice());
    EXPECT_EQ(line.dialogs.texts().size(), 1u);

    // Pulled out again, and the owner closes the port: the waiting ends.
    line.meter.unplug();
    EXPECT_FALSE(line.send('D', 4));
    EXPECT_TRUE(line.port.AwaitingDevice());
    line.port.ClosePort();
    EXPECT_FALSE(line.port.AwaitingDevice());
}

TEST(MeterFrame, ACopyOfTheRequestThatTheLineDamagedIsKnownAndAReadingIsNot) {
    const auto request = buildRequest('D', 5, 0);
    const std::string req = text(request);
    EXPECT_EQ(damagedCopyLength(bytes(req), request), 16u);
    EXPECT_EQ(damagedCopyLength(bytes(req.substr(0, 14) + "\n~D0005"), request), 15u);   // CR lost
    EXPECT_EQ(damagedCopyLength(bytes("~D00055" + req.substr(6)), request), 17u);       // a digit twice
    EXPECT_EQ(damagedCopyLength(bytes("~D00050001" + req.substr(10)), request), 16u);   // a bit flipped
    EXPECT_EQ(damagedCopyLength(bytes("~D0005000000\r\n"), request), 14u);              // two lost
    EXPECT_EQ(damagedCopyLength(bytes("~D00050230.500\r\n"), request), 0u);             // a reading
    EXPECT_EQ(damagedCopyLength(bytes("~D00050000"), request), 0u);                     // too short to tell
    // A count of ten periods is the request for it with one digit changed.
    EXPECT_EQ(damagedCopyLength(bytes("~O00000000000A\r\n"), buildRequest('O', 0, 0)), 16u);
    // A value field that holds the frame's end or the next frame came short: no reply.
    EXPECT_FALSE(parse("~D0005023.500\r\n~D"));
    EXPECT_FALSE(parse("~D0005\r\n~D00050"));
    EXPECT_FALSE(parse("~D000500000~D00050230.500\r\n"));
}

namespace {

// The value field the meter sends for `request` when asked it first (a fresh meter's answer).
std::string metersValue(const sim::MeterConfig& config, char command, std::uint32_t address) {
    sim::MeterModel model(config);
    const auto reply = model.answer({command, static_cast<std::uint16_t>(address), 0});
    std::string value = text(reply).substr(6, 8);
    if (auto dot = value.find('.'); dot != std::string::npos) value[dot] = ',';
    return value;
}

struct Damage {
    sim::EchoDamage kind;
    std::uint8_t bits;
    const char* name;
};
constexpr Damage Damages[] = {{sim::EchoDamage::Drop, 0, "drop"},
                              {sim::EchoDamage::Repeat, 0, "repeat"},
                              {sim::EchoDamage::Flip, 0x01, "flip 0x01"},
                              {sim::EchoDamage::Flip, 0x80, "flip 0x80"}};

}  // namespace

TEST(MeterExchangeWithSim, AnEchoDamagedAtAnyOffsetIsNeverTakenForAReading) {
    // The line echoes the request, one byte of the echo lost, repeated or garbled, at every
    // offset; the meter answers after it. Whatever the damage, the reading is the meter's own:
    // the damaged copy is a bad reply and the request is sent again.
    const sim::MeterConfig config{.periods = 10};
    const struct {
        char command;
        std::uint32_t address;
    } asked[] = {{'D', 2}, {'O', 0}, {'N', 0x0103}};
    int damaged = 0, resent = 0;
    for (const Damage& d : Damages)
        for (int offset = 0; offset < 16; ++offset)
            for (const auto& a : asked) {
                SimLine line(config, {.echo = true, .echoDamage = {.damage = d.kind, .offset = offset, .limit = 1, .bits = d.bits}});
                ASSERT_TRUE(line.opened);
                // A machine busy enough may let a reply come too late: the request is asked
                // again then, and what comes back is the meter's reading or "нет", nothing else.
                const std::string where = std::string(d.name) + " at " + std::to_string(offset) + " of " + a.command;
                bool ok = false;
                for (int call = 0; call < 5 && !ok; ++call) {
                    ok = line.send(a.command, a.address);
                    EXPECT_TRUE(ok || line.fields.Value == NoValue) << where << ": " << line.fields.Value;
                }
                EXPECT_TRUE(ok) << where;
                EXPECT_EQ(line.fields.Value, metersValue(config, a.command, a.address)) << where;
                damaged += line.meter.echoesDamaged();
                resent += line.meter.requestCount() > 1;
            }
    EXPECT_EQ(damaged, 4 * 16 * 3);
    std::printf("%d damaged echoes, %d of them answered by a resend\n", damaged, resent);

    // With no meter behind the line (a loopback plug), a copy of a request for a reading,
    // damaged or not, is never one.
    for (const Damage& d : Damages)
        for (int offset = 0; offset < 16; ++offset) {
            SimLine loopback({.faults = {{.fault = sim::Fault::Silence}}},
                             {.echo = true, .echoDamage = {.damage = d.kind, .offset = offset, .bits = d.bits}});
            const std::string where = std::string(d.name) + " at " + std::to_string(offset);
            for (const auto& a : {asked[0], asked[2]}) {
                EXPECT_FALSE(loopback.send(a.command, a.address)) << where;
                EXPECT_EQ(loopback.fields.Value, NoValue) << where;
            }
        }
}

TEST(MeterExchangeWithSim, ALineThatLosesBytesOfItsEchoGivesNoReadingTheMeterDidNotSend) {
    // Live readings for a while on a line that echoes and loses 2 % of the echoed bytes. Every
    // reading taken is one that the meter sent for that parameter (its replies played again
    // through a model of its own, asked the same requests in the same order).
    sim::MeterConfig config;
    SimLine line(config, {.echo = true, .echoDamage = {.damage = sim::EchoDamage::Drop, .chance = 0.02}});
    ASSERT_TRUE(line.opened);
    std::vector<std::pair<int, std::string>> taken;
    int failed = 0;
    for (int round = 0; round < 20; ++round)
        for (std::uint32_t n = 1; n <= 18; ++n) {
            if (line.send('D', n)) {
                taken.emplace_back(line.fields.ParamNo, line.fields.Value);
            } else {
                ++failed;
                EXPECT_EQ(line.fields.Value, NoValue);
            }
        }
    sim::MeterModel replay(config);
    std::set<std::pair<int, std::string>> sent;
    for (const sim::Request& r : line.meter.requests()) {
        std::string value = text(replay.answer(r)).substr(6, 8);
        value[value.find('.')] = ',';
        sent.emplace(r.param(), value);
    }
    for (const auto& reading : taken) EXPECT_TRUE(sent.count(reading)) << reading.first << " " << reading.second;
    EXPECT_GT(line.meter.echoesDamaged(), 20);
    EXPECT_GE(taken.size(), 300u);  // fewer only on a machine too busy to read replies in time
    std::printf("%d echoed bytes lost, %zu readings taken, %d requests without one\n",
                line.meter.echoesDamaged(), taken.size(), failed);
}

TEST(MeterExchangeWithSim, ACableThatComesAndGoesIsToldOncePerOutage) {
    // The cable is pulled out and put back five times without the meter ever answering in
    // between: one box. Every exchange meanwhile gives "нет".
    ScratchFolder folder;
    const std::string link = folder.path + "/usb-meter";
    SimLine line({}, {.link = link});
    ASSERT_TRUE(line.opened);
    const auto backOpen = [&] {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!line.port.PortOpen() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return line.port.PortOpen();
    };
    for (int flap = 0; flap < 5; ++flap) {
        line.meter.unplug();
        EXPECT_FALSE(line.send('D', 1)) << flap;
        EXPECT_EQ(line.fields.Value, NoValue);
        line.meter.replug();
        ASSERT_TRUE(backOpen()) << flap;  // open again, the meter not asked
    }
    EXPECT_EQ(line.dialogs.texts(), std::vector<std::string>{msg::CheckConnection});

    // The meter answers: it was back. Gone again, that is a new outage, told again.
    EXPECT_TRUE(line.send('D', 2));
    line.meter.unplug();
    EXPECT_FALSE(line.send('D', 3));
    EXPECT_EQ(line.dialogs.texts(), (std::vector<std::string>{msg::CheckConnection, msg::CheckConnection}));
}

TEST(MeterExchangeWithSim, AnAdapterPluggedInAfterTheFailedOpenIsOpenedByItself) {
    ScratchFolder folder;
    const std::string link = folder.path + "/usb-meter";
    ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    EXPECT_FALSE(port.OpenPort(link));
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{openFailureText(OpenFailure::NoDevice)});
    EXPECT_FALSE(port.AwaitingDevice());  // never there: not a meter gone

    sim::MeterServer meter({}, {}, {.link = link});
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!port.PortOpen() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(port.PortOpen());
    ReplyFields fields;
    EXPECT_TRUE(SendRequest(port, dialogs, fields, 'D', 1, 0));
    EXPECT_EQ(dialogs.texts().size(), 1u);

    // Closed by its owner, the port is opened again at once by its last name; a name whose
    // device is not there says why.
    port.ClosePort();
    EXPECT_TRUE(port.OpenAgain());
    EXPECT_TRUE(SendRequest(port, dialogs, fields, 'D', 2, 0));
    meter.unplug();
    port.ClosePort();
    EXPECT_FALSE(port.OpenAgain());
    EXPECT_EQ(dialogs.texts().back(), openFailureText(OpenFailure::NoDevice));
}
