#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "common/numtext.h"
#include "support/sim_line.h"

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

}  // namespace

TEST(MeterModel, LiveRepliesAreFramedThreePhaseReadings) {
    MeterModel m(MeterConfig{});
    for (int job = 0; job < 20; ++job)
        for (int phase = 0; phase < 3; ++phase) {
            double v[6];
            for (int q = 0; q < 6; ++q) {
                const int n = phase * 6 + q + 1;
                const std::string s = text(m.answer(req('D', n)));
                ASSERT_EQ(s.size(), 16u);
                EXPECT_EQ(s.substr(0, 6), "~D00" + hexUpper(static_cast<std::uint32_t>(n), 2));
                EXPECT_EQ(s.substr(10, 1) + s.substr(14), ".\r\n");  // 0230.500 CR LF
                v[q] = valueOf({s.begin(), s.end()});
            }
            const double u = v[0], i = v[1], phi = v[2] * M_PI / 180;
            EXPECT_GE(u, 220.0);
            EXPECT_LE(u, 230.0);
            EXPECT_NEAR(v[3], u * i * std::cos(phi), 2.0);
            EXPECT_NEAR(v[4], u * i * std::sin(phi), 2.0);
            EXPECT_NEAR(v[5], u * i, 2.0);
        }
    const auto again = m.answer(req('D', 1));
    EXPECT_EQ(m.answer(req('D', 1)), again);  // a resend gets the same reading
    EXPECT_EQ(text(m.answer(req('s', 0))), "~s000000000000\r\n");
    EXPECT_TRUE(m.answer(req('D', 19)).empty());
}

TEST(MeterModel, PeriodCountAndConsistentStatistics) {
    MeterModel m({.periods = 12});
    EXPECT_EQ(text(m.answer(req('O', 0))), "~O00000000000C\r\n");
    EXPECT_TRUE(m.answer(req('N', 13 * 256 + 1)).empty());  // beyond the stored periods
    for (int n = 1; n <= 18; ++n) {
        double lo = 1e9, hi = -1e9;
        for (int p = 0; p <= 12; ++p) {
            const double mn = valueOf(m.answer(req('N', p * 256 + n)));
            const double av = valueOf(m.answer(req('A', p * 256 + n)));
            const double mx = valueOf(m.answer(req('X', p * 256 + n)));
            EXPECT_LE(mn, av);
            EXPECT_LE(av, mx);
            if (p > 0) lo = std::min(lo, m.statistic(p, n).min), hi = std::max(hi, m.statistic(p, n).max);
        }
        EXPECT_DOUBLE_EQ(m.statistic(0, n).min, lo);  // period 0 spans them all
        EXPECT_DOUBLE_EQ(m.statistic(0, n).max, hi);
    }
}

TEST(MeterModel, FaultRuleFiltersCountMatchingRequests) {
    MeterModel m({.faults = {{.fault = Fault::Silence, .command = 'D', .every = 3, .limit = 2}}});
    std::string pattern;
    for (int i = 0; i < 8; ++i) pattern += m.answer(req('D', 1 + i % 2)).empty() ? 'S' : '.';
    EXPECT_EQ(pattern, "S..S....");
    EXPECT_EQ(m.answer(req('O', 0)).size(), 16u);
}

TEST(MeterModel, RequestReaderFindsFramesAmongRejectsAndJunk) {
    RequestReader reader;
    std::vector<Request> got;
    for (char c : std::string_view("\x03junk~D000A00000000\r\n\x03~N0A1200000000\r\n~D00~s000000000000\r\n"))
        if (auto r = reader.feed(static_cast<std::uint8_t>(c))) got.push_back(*r);
    // A torn frame is dropped when a new one starts inside it.
    EXPECT_EQ(got, (std::vector<Request>{req('D', 10), req('N', 0x0A12), req('s', 0)}));
    EXPECT_EQ(reader.rejects(), 2);
}

TEST(MeterServer, KeepsServingWhenThePortIsClosedAndReopened) {
    test::SimLine line;
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(line.send('D', 1)) << round;
        line.port.ClosePort();
        ASSERT_TRUE(line.port.OpenPort(line.meter.devicePath())) << round;
    }
    EXPECT_TRUE(line.send('D', 1));
    EXPECT_FALSE(line.meter.hungUp());
}

TEST(MeterServer, PacedReplyTakesTheLineTimeAndStopEndsItAtOnce) {
    // A reply of 100000 bytes: well over a minute on the line.
    test::SimLine line({.paced = true, .longReplySize = 100000, .faults = {{.fault = Fault::LongReply}}});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(line.send('D', 1));  // judged after its first 16 bytes
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::duration<double>(32 * ByteSeconds));
    line.meter.stop();  // mid-reply
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
        // The line echoes, and its echo of the first request loses the last byte: read as the
        // reply, that copy would be a count of 0. It is a bad reply, and the request goes again.
        ::execl(tool.c_str(), tool.c_str(), "--periods", "3", "--link", link.c_str(), "--log",
                log.c_str(), "--echo", "--echo-damage", "drop", "--echo-damage-at", "15",
                "--echo-damage-limit", "1", static_cast<char*>(nullptr));
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
    std::string logged(64, '\0');
    if (FILE* f = std::fopen(log.c_str(), "r")) {
        logged.resize(std::fread(logged.data(), 1, logged.size(), f));
        std::fclose(f);
    }
    EXPECT_EQ(logged, "O 0000 00000000\nO 0000 00000000\n");
    std::remove(log.c_str());
}
