// lumo-meter-sim: a simulated meter on a pseudo-terminal. Prints the device path to open as
// the serial port and serves until interrupted (or until it hangs up, when told to).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <optional>
#include <string>

#ifdef _WIN32

int main() {
    std::fprintf(stderr, "lumo-meter-sim needs pseudo-terminals (Linux and other POSIX systems)\n");
    return 1;
}

#else

#include <csignal>
#include <ctime>
#include <unistd.h>

#include "common/numtext.h"
#include "sim/meter_server.h"

namespace {

const char* const Usage = R"(usage: lumo-meter-sim [options]
  --periods N         stored periods, 0 to 255 (default 5)
  --count-field TEXT  the 'O' reply's value field as given (8 characters)
  --pace              answer at the speed of a 9600-baud line
  --log FILE          write every request received to FILE ('-' for standard output)
  --link PATH         make PATH a symbolic link to the device (kept across replugs)
  --echo              the line echoes every byte sent to the meter (with --fault silence:
                      a loopback plug)
  --echo-damage KIND  the echo loses (drop), repeats (repeat) or garbles (flip) bytes: each
                      byte by chance (--echo-damage-chance), or one byte of each request
  --echo-damage-at N  only the byte at offset N (0 to 15) of each request frame
  --echo-damage-chance P  the chance of each echoed byte in percent (default 1)
  --echo-damage-limit L   at most L bytes damaged
  --echo-flip-bits N  the bits that flip turns over, 1 to 255 (default 1)
  --unplug-after N    pull the cable after answering N requests...
  --replug-after MS   ...and plug it in again MS milliseconds later (a new device)
  --seed N            seed of the readings' noise
  --hang-up-after N   close the line after answering N requests
  --wiring NAMES       live readings of a metering circuit: correct, or correct-LOAD (a
                      correct circuit under that load), or mistakes joined by commas:
                      reversed-a|b|c (a current reversed), swapped-ab|bc|ca (two phases'
                      currents exchanged), rotated (every current input carries the next
                      phase's current), no-voltage-a|b|c, no-current-a|b|c (an open input),
                      voltage-reversed-a|b|c, voltage-X-from-Y (voltage input X on phase Y),
                      voltages-swapped-ab|bc|ca
  --load KIND         the load of the --wiring circuit: normal, light, heavy, inductive,
                      capacitive, motor (60-85 degrees), capacitor (-90 to -85), mixed (A 0,
                      B 65, C -40), export (a plant giving power, 150-210)
  --loads I@A,I@A,I@A each phase's current and load angle instead (A, B, C; "5@0,3.1@65,0@0":
                      a current of 0 is an idle phase; 180 and about: the phase gives power)
  --export            the load turned around: the site gives what it would take
  --idle PHASES       phases without load, such as bc
  --fault KIND        spoil replies: silence, stray-byte, short-reply, wrong-echo,
                      not-a-number, non-hex-param, param-number, long-reply, babble,
                      flipped-bit (the value's first character with bit 3 flipped: a garbled
                      reading, 0230.500 as 8230.500)
                      (the options below narrow down the last --fault)
  --fault-command C   only replies to command letter C
  --fault-param N     only requests for parameter N
  --fault-period P    only requests for period P
  --fault-every K     only every K-th matching request
  --fault-limit L     at most L times
  --report-param N    the parameter number that param-number replies carry (default 19)
  --long-reply-size N the length of long replies in bytes (default 1100)
  --babble-size N     the length of babbling replies, sent at line speed (default 400)
)";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lumo-meter-sim: %s\n%s", what.c_str(), Usage);
    std::exit(2);
}

double percent(const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!*text || *end || !(v >= 0 && v <= 100)) fail(std::string("not a percentage from 0 to 100: ") + text);
    return v;
}

int number(const char* text, int lo, int hi) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < lo || v > hi) fail(std::string("not a number from ") +
                                                 std::to_string(lo) + " to " + std::to_string(hi) +
                                                 ": " + text);
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    lumo::sim::MeterConfig config;
    lumo::sim::LineOptions line;
    std::string logPath;
    std::optional<lumo::sim::Load> load;
    std::optional<double> chance;
    std::optional<std::array<lumo::sim::PhaseLoad, 3>> loads;
    bool exporting = false;
    int idle = 0;
    auto lastRule = [&]() -> lumo::sim::FaultRule& {
        if (config.faults.empty()) fail("a fault filter needs a --fault before it");
        return config.faults.back();
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (arg == "--pace" || arg == "--echo") {
            (arg == "--pace" ? config.paced : line.echo) = true;
            continue;
        }
        if (arg == "--export") {
            exporting = true;
            continue;
        }
        if (i + 1 >= argc) fail("missing value after " + arg);
        const char* value = argv[++i];
        if (arg == "--periods") config.periods = number(value, 0, 255);
        else if (arg == "--count-field") config.countField = value;
        else if (arg == "--log") logPath = value;
        else if (arg == "--link") line.link = value;
        else if (arg == "--unplug-after") line.unplugAfter = number(value, 0, 1 << 30);
        else if (arg == "--replug-after") line.replugAfterMs = number(value, 0, 1 << 30);
        else if (arg == "--echo-damage") {
            auto damage = lumo::sim::echoDamageFromName(value);
            if (!damage) fail(std::string("unknown echo damage: ") + value);
            line.echoDamage.damage = *damage;
        } else if (arg == "--echo-damage-at") line.echoDamage.offset = number(value, 0, 15);
        else if (arg == "--echo-damage-chance") chance = percent(value) / 100;
        else if (arg == "--echo-damage-limit") line.echoDamage.limit = number(value, 0, 1 << 30);
        else if (arg == "--echo-flip-bits") line.echoDamage.bits = static_cast<std::uint8_t>(number(value, 1, 255));
        else if (arg == "--seed") config.seed = static_cast<std::uint32_t>(number(value, 0, 1 << 30));
        else if (arg == "--hang-up-after") config.hangUpAfter = number(value, 0, 1 << 30);
        else if (arg == "--long-reply-size") config.longReplySize = static_cast<std::size_t>(number(value, 16, 1 << 20));
        else if (arg == "--babble-size") config.babbleSize = static_cast<std::size_t>(number(value, 16, 1 << 20));
        else if (arg == "--wiring") {
            config.wiring = lumo::sim::wiringFromName(value);
            if (!config.wiring) fail(std::string("unknown wiring: ") + value);
        } else if (arg == "--load") {
            load = lumo::sim::loadFromName(value);
            if (!load) fail(std::string("unknown load: ") + value);
        } else if (arg == "--loads") {
            loads = lumo::sim::loadsFromText(value);
            if (!loads) fail(std::string("not three loads I@ANGLE: ") + value);
        } else if (arg == "--idle") {
            for (const char* p = value; *p; ++p) {
                if (*p < 'a' || *p > 'c') fail(std::string("not phases a, b, c: ") + value);
                idle |= 1 << (*p - 'a');
            }
        } else if (arg == "--fault") {
            auto fault = lumo::sim::faultFromName(value);
            if (!fault) fail(std::string("unknown fault: ") + value);
            config.faults.push_back({});
            config.faults.back().fault = *fault;
        } else if (arg == "--fault-command") {
            if (std::strlen(value) != 1) fail("a command is one letter");
            lastRule().command = value[0];
        } else if (arg == "--fault-param") lastRule().param = number(value, 0, 255);
        else if (arg == "--fault-period") lastRule().period = number(value, 0, 255);
        else if (arg == "--fault-every") lastRule().every = number(value, 1, 1 << 30);
        else if (arg == "--fault-limit") lastRule().limit = number(value, 0, 1 << 30);
        else if (arg == "--report-param") lastRule().reportedParam = number(value, 0, 255);
        else fail("unknown option " + arg);
    }

    // By chance unless one offset is named: 1 % of the echoed bytes unless told otherwise.
    line.echoDamage.seed = config.seed;
    line.echoDamage.chance = chance.value_or(0.01);
    if (line.echoDamage.damage != lumo::sim::EchoDamage::None && !line.echo) fail("--echo-damage needs --echo");

    if ((load || loads || exporting || idle) && !config.wiring) config.wiring = lumo::sim::Wiring{};
    if (load) config.wiring->load = *load;
    if (loads) config.wiring->loads = loads;
    if (exporting) config.wiring->exporting = true;
    if (idle) config.wiring->idle = idle;

    std::FILE* log = nullptr;
    if (logPath == "-") log = stdout;
    else if (!logPath.empty() && !(log = std::fopen(logPath.c_str(), "a"))) fail("cannot write " + logPath);

    // The signals are taken by this thread alone, so the server's thread is never interrupted.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lumo::sim::MeterServer server(config, [log](const lumo::sim::Request& r) {
        if (!log) return;
        std::fprintf(log, "%c %s %s\n", r.command, lumo::hexUpper(r.address, 4).c_str(),
                     lumo::hexUpper(r.argument, 8).c_str());
        std::fflush(log);
    }, line);
    std::printf("%s\n", server.devicePath().c_str());
    std::fflush(stdout);

    const timespec tick{0, 200 * 1000 * 1000};
    while (sigtimedwait(&signals, nullptr, &tick) < 0) {
        if (server.hungUp()) {
            std::fprintf(stderr, "lumo-meter-sim: hung up after %d requests\n", config.hangUpAfter);
            break;
        }
    }
    server.stop();
    if (log && log != stdout) std::fclose(log);
    return 0;
}

#endif
