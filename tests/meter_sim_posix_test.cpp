#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "common/numtext.h"
#include "link/meter_protocol.h"
#include "sim/meter_server.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::sim;
using namespace std::chrono_literals;

namespace {

std::string text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

Request req(char c, int address) { return {c, static_cast<std::uint16_t>(address), 0}; }

double valueOf(const std::vector<std::uint8_t>& reply) {
    std::string field = text(reply).substr(6, 8);
    field[field.find('.')] = ',';
    return *parseDecimal(field);
}

std::vector<Request> feedAll(RequestReader& reader, std::string_view bytes) {
    std::vector<Request> out;
    for (char c : bytes)
        if (auto r = reader.feed(static_cast<std::uint8_t>(c))) out.push_back(*r);
    return out;
}

}  // namespace

// ---- The model ----

TEST(MeterModel, LiveRepliesAreFramedThreePhaseReadings) {
    MeterModel m(MeterConfig{});
    for (int job = 0; job < 20; ++job) {
        for (int phase = 0; phase < 3; ++phase) {
            double v[6];
            for (int q = 0; q < 6; ++q) {
                const int n = phase * 6 + q + 1;
                auto reply = m.answer(req('D', n));
                ASSERT_EQ(reply.size(), 16u);
                const std::string s = text(reply);
                EXPECT_EQ(s.substr(0, 4), "~D00");
                EXPECT_EQ(s.substr(4, 2), hexUpper(static_cast<std::uint32_t>(n), 2));
                EXPECT_EQ(s.substr(14), "\r\n");
                EXPECT_EQ(s[10], '.');  // 0230.500
                v[q] = valueOf(reply);
            }
            const double u = v[0], i = v[1], phi = v[2] * M_PI / 180;
            EXPECT_GE(u, 220.0);
            EXPECT_LE(u, 230.0);
            EXPECT_GT(i, 1.0);
            EXPECT_LT(i, 10.0);
            EXPECT_NEAR(v[3], u * i * std::cos(phi), 2.0);
            EXPECT_NEAR(v[4], u * i * std::sin(phi), 2.0);
            EXPECT_NEAR(v[5], u * i, 2.0);
        }
    }
}

TEST(MeterModel, CountProbeAndRequestsWithoutAnswer) {
    MeterConfig c;
    c.periods = 10;
    MeterModel m(c);
    EXPECT_EQ(text(m.answer(req('O', 0))), "~O00000000000A\r\n");
    EXPECT_EQ(text(m.answer(req('s', 0))), "~s000000000000\r\n");
    EXPECT_TRUE(m.answer(req('D', 0)).empty());
    EXPECT_TRUE(m.answer(req('D', 19)).empty());
    EXPECT_TRUE(m.answer(req('N', 11 * 256 + 1)).empty());  // beyond the stored periods
    EXPECT_TRUE(m.answer(req('Z', 1)).empty());
    c.countField = "FFFFFFFF";
    EXPECT_EQ(text(MeterModel(c).answer(req('O', 0))), "~O0000FFFFFFFF\r\n");
}

TEST(MeterModel, PeriodStatisticsAreConsistent) {
    MeterConfig c;
    c.periods = 12;
    MeterModel m(c);
    for (int n = 1; n <= 18; ++n) {
        double lo = 1e9, hi = -1e9, sum = 0;
        for (int p = 0; p <= 12; ++p) {
            const double mn = valueOf(m.answer(req('N', p * 256 + n)));
            const double mx = valueOf(m.answer(req('X', p * 256 + n)));
            const double av = valueOf(m.answer(req('A', p * 256 + n)));
            EXPECT_LE(mn, av) << p << "/" << n;
            EXPECT_LE(av, mx) << p << "/" << n;
            if (p > 0) {
                const Statistic s = m.statistic(p, n);
                lo = std::min(lo, s.min), hi = std::max(hi, s.max), sum += s.avg;
            }
        }
        // Period 0 spans the whole recording.
        const Statistic whole = m.statistic(0, n);
        EXPECT_DOUBLE_EQ(whole.min, lo);
        EXPECT_DOUBLE_EQ(whole.max, hi);
        EXPECT_NEAR(whole.avg, sum / 12, 1e-9);
    }
    EXPECT_EQ(text(m.answer(req('A', 0x0C12))).substr(0, 6), "~A0012");
}

TEST(MeterModel, FaultsSpoilTheRepliesTheyMatch) {
    auto spoiled = [](FaultRule rule, const Request& r) {
        MeterConfig c;
        c.faults = {rule};
        return text(MeterModel(c).answer(r));
    };
    const Request d5 = req('D', 5);
    EXPECT_EQ(spoiled({.fault = Fault::Silence}, d5), "");
    EXPECT_EQ(spoiled({.fault = Fault::StrayByte}, d5).substr(0, 3), "x~D");
    EXPECT_EQ(spoiled({.fault = Fault::ShortReply}, d5).size(), 14u);
    EXPECT_EQ(spoiled({.fault = Fault::WrongEcho}, d5).substr(0, 2), "~O");
    EXPECT_EQ(spoiled({.fault = Fault::WrongEcho}, req('O', 0)).substr(0, 2), "~D");
    EXPECT_EQ(spoiled({.fault = Fault::NotANumber}, d5).substr(6, 8), "OVERLOAD");
    EXPECT_EQ(spoiled({.fault = Fault::NonHexParam}, d5).substr(4, 2), "G?");
    EXPECT_EQ(spoiled({.fault = Fault::ParamNumber, .reportedParam = 6}, d5).substr(4, 2), "06");
    EXPECT_EQ(spoiled({.fault = Fault::ParamNumber}, d5).substr(4, 2), "13");
    const std::string longReply = spoiled({.fault = Fault::LongReply}, d5);
    EXPECT_EQ(longReply.size(), 1100u);
    EXPECT_EQ(longReply.find('~', 1), std::string::npos);
    // Filters that do not match leave the reply alone.
    EXPECT_EQ(spoiled({.fault = Fault::Silence, .command = 'N'}, d5).size(), 16u);
    EXPECT_EQ(spoiled({.fault = Fault::Silence, .param = 6}, d5).size(), 16u);
    EXPECT_EQ(spoiled({.fault = Fault::Silence, .period = 1}, d5).size(), 16u);
}

TEST(MeterModel, FaultRuleCountsEveryAndLimit) {
    MeterConfig c;
    c.faults = {{.fault = Fault::Silence, .command = 'D', .every = 3, .limit = 2}};
    MeterModel m(c);
    std::string pattern;
    for (int i = 0; i < 10; ++i) pattern += m.answer(req('D', 1)).empty() ? 'S' : '.';
    EXPECT_EQ(pattern, "S..S......");
}

TEST(MeterModel, RequestReaderFindsFramesAmongRejectsAndJunk) {
    RequestReader reader;
    auto got = feedAll(reader, "\x03\x03junk~D000A00000000\r\n\x03~N0A1200000000\r\n");
    EXPECT_EQ(got, (std::vector<Request>{req('D', 10), req('N', 0x0A12)}));
    EXPECT_EQ(reader.rejects(), 3);
    // A torn frame is dropped when a new one starts inside it; bad digits give no request.
    EXPECT_EQ(feedAll(reader, "~D00~s000000000000\r\n"), (std::vector<Request>{req('s', 0)}));
    EXPECT_TRUE(feedAll(reader, "~D00G100000000\r\n").empty());
    EXPECT_EQ(feedAll(reader, "~O000000000000??"), (std::vector<Request>{req('O', 0)}));
}

// ---- The server on a pseudo-terminal ----

TEST(MeterServer, KeepsServingWhenThePortIsClosedAndReopened) {
    MeterServer meter(MeterConfig{});
    test::ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    meter::ReplyFields fields;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(port.OpenPort(meter.devicePath())) << round;
        EXPECT_TRUE(meter::SendRequest(port, dialogs, fields, 'D', 1, 0)) << round;
        port.ClosePort();
    }
    EXPECT_EQ(meter.requestCount(), 3u);
    EXPECT_FALSE(meter.hungUp());
}

TEST(MeterServer, CountsRejectBytes) {
    MeterConfig c;
    c.faults = {{.fault = Fault::WrongEcho, .command = 'D'}};
    MeterServer meter(c);
    test::ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    meter::ReplyFields fields;
    EXPECT_FALSE(meter::SendRequest(port, dialogs, fields, 'D', 1, 0));
    EXPECT_EQ(meter.requestCount(), 4u);
    // The meter has taken the last reject byte once it answers the next request.
    EXPECT_TRUE(meter::ProbeRequest(port, 's', 0, 0));
    EXPECT_EQ(meter.rejects(), 4);
}

TEST(MeterServer, PacedReplyTakesTheLineTimeOfRequestAndReply) {
    MeterConfig c;
    c.paced = true;
    MeterServer meter(c);
    test::ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    meter::ReplyFields fields;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(meter::SendRequest(port, dialogs, fields, 'D', 1, 0));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::duration<double>(32 * ByteSeconds));
    EXPECT_EQ(meter.requestCount(), 1u);  // slow, yet one send was enough
}

TEST(MeterServer, StopsAtOnceEvenInTheMiddleOfALongPacedReply) {
    MeterConfig c;
    c.paced = true;
    c.longReplySize = 100000;  // well over a minute on the line
    c.faults = {{.fault = Fault::LongReply}};
    auto meter = std::make_unique<MeterServer>(c);
    test::ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter->devicePath()));
    meter::ReplyFields fields;
    // The reply is judged after its first 16 bytes; the meter goes on sending.
    EXPECT_TRUE(meter::SendRequest(port, dialogs, fields, 'D', 1, 0));
    meter->stop();
    EXPECT_FALSE(meter->hungUp());
    meter.reset();
}

TEST(MeterServer, HangsUpAfterTheConfiguredRequests) {
    MeterConfig c;
    c.hangUpAfter = 2;
    MeterServer meter(c);
    test::ScriptedDialogs dialogs;
    SerialPort port(dialogs);
    ASSERT_TRUE(port.OpenPort(meter.devicePath()));
    meter::ReplyFields fields;
    EXPECT_TRUE(meter::SendRequest(port, dialogs, fields, 'D', 1, 0));
    meter::SendRequest(port, dialogs, fields, 'D', 2, 0);  // its reply may go with the line
    ASSERT_TRUE(meter.waitForHangUp(10s));
    EXPECT_FALSE(meter::SendRequest(port, dialogs, fields, 'D', 3, 0));
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(meter.requestCount(), 2u);
}

TEST(MeterSimTool, ServesOnALinkAndEndsCleanlyOnTerm) {
    namespace fs = std::filesystem;
    const fs::path tool = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lumo-meter-sim";
    if (!fs::exists(tool)) GTEST_SKIP() << "no " << tool;
    const std::string link = "/tmp/lumo-sim-test-" + std::to_string(::getpid());
    const std::string log = link + ".log";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::execl(tool.c_str(), tool.c_str(), "--periods", "3", "--link", link.c_str(), "--log",
                log.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string printed;
    char ch;
    while (::read(out[0], &ch, 1) == 1 && ch != '\n') printed += ch;
    ::close(out[0]);
    EXPECT_EQ(fs::read_symlink(link).string(), printed);

    {
        test::ScriptedDialogs dialogs;
        SerialPort port(dialogs);
        ASSERT_TRUE(port.OpenPort(link));
        meter::ReplyFields fields;
        EXPECT_TRUE(meter::SendRequest(port, dialogs, fields, 'O', 0, 0));
        EXPECT_EQ(fields.Value, "00000003");
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    std::string logged;
    if (FILE* f = std::fopen(log.c_str(), "r")) {
        char buf[64];
        while (std::fgets(buf, sizeof buf, f)) logged += buf;
        std::fclose(f);
    }
    EXPECT_EQ(logged, "O 0000 00000000\n");
    std::remove(log.c_str());
}
