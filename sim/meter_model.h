#pragma once
// The simulated meter: reads request frames out of the byte stream it receives and answers
// them the way a meter answers, with optional faults. Free of the line and of any threads;
// the server (meter_server.h) puts it on a pseudo-terminal.
//
// Replies are 16 bytes: '~', the command letter, "00", the parameter number as two upper-case
// hex digits, the 8-character value field, CR LF.
//   'D' n        live value of parameter n: three-phase 230 V readings with noise, as decimal
//                text with a '.' such as 0230.500 (U in V, I in A, angle in degrees, P in W,
//                Q in var, S in VA; P = UI cos, Q = UI sin, S = UI).
//   'O'          the number of stored periods as 8 hex digits.
//   'N' 'X' 'A'  minimum, maximum and average of parameter n over period p (address p*256+n);
//                period 0 spans the whole recording (min of the minima, max of the maxima,
//                mean of the averages).
//   's'          the echo.
// Anything else, a parameter outside 1 to 18 or a period beyond the stored ones gets no reply.
// A request repeated at once (a resend) is answered with the same reading.

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::sim {

// One byte on the line at 9600 baud, 10 bits a byte.
inline constexpr double ByteSeconds = 10.0 / 9600.0;

enum class Fault {
    None,
    Silence,      // no reply
    StrayByte,    // one byte before the '~' (and one after the frame): the '~' at an odd offset
    ShortReply,   // only 14 bytes
    WrongEcho,    // another command letter after the '~'
    NotANumber,   // a value field that is no number
    NonHexParam,  // parameter digits that are not hexadecimal
    ParamNumber,  // another parameter number than the one asked for (FaultRule::reportedParam)
    LongReply,    // the frame followed by filler bytes, longer than 1024 bytes in all
    Babble,       // the frame followed by filler bytes at line speed, even on an unpaced line,
                  // for longer than a reply is collected (MeterConfig::babbleSize bytes in all)
    FlippedBit,   // the value field's first character with bit 3 flipped, as a line without a
                  // check sum lets through: 0230.500 becomes 8230.500
};

// The names the tool accepts: silence, stray-byte, short-reply, wrong-echo, not-a-number,
// non-hex-param, param-number, long-reply, babble, flipped-bit.
std::optional<Fault> faultFromName(std::string_view name);

// Which replies a fault spoils. Every filter left at its default matches every reply.
struct FaultRule {
    Fault fault = Fault::None;
    char command = 0;        // only replies to this command letter
    int param = 0;           // only requests for this parameter number (the address's low byte)
    int period = -1;         // only requests for this period (the address's high byte)
    int every = 1;           // only every k-th matching request, the first included
    int limit = -1;          // at most this many times
    int reportedParam = 19;  // ParamNumber: the number the reply carries
};

// The metering circuit behind the live readings: a load on each of the three phases and how
// the meter's inputs are connected to them. The meter measures each input's angle against
// that input's own voltage, so a wiring fault shows in the angles, currents and voltages.
enum class Load {
    Normal,      // I 2.5-5 A, angle 10-30°
    Light,       // I 0.1-0.5 A, angle 0-30°
    Heavy,       // I 4.5-6 A, angle 5-25°
    Inductive,   // I 1.5-4 A, angle 30-50°
    Capacitive,  // I 1-3 A, angle -45 to -20°
    Motor,       // motors at part load: I 1.5-4 A, angle 60-85°
    Capacitor,   // a capacitor bank alone: I 1-3 A, angle -90 to -85°
    Mixed,       // a heater on A (0°), a motor on B (65°), LED drivers on C (-40°), each ±3°
    Export,      // a plant giving power to the network: I 2-5 A, angle 150-210°
};
enum class WiringFault {
    None,              // a correct circuit
    ReversedCurrent,   // the phase's current transformer connected backwards
    SwappedCurrents,   // the current circuits of `phase` and `other` exchanged
    RotatedCurrents,   // every current input carries the next phase's current (A carries B's)
    NoVoltage,         // the phase's voltage input open
    NoCurrent,         // the phase's current circuit open
    ReversedVoltage,   // the phase's voltage input connected backwards
    VoltageFromPhase,  // the phase's voltage input on phase `other`
    SwappedVoltages,   // the voltage inputs of `phase` and `other` exchanged
};
struct WiringMistake {
    WiringFault fault = WiringFault::None;
    int phase = 0;  // 0 A, 1 B, 2 C
    int other = 1;  // SwappedCurrents, SwappedVoltages, VoltageFromPhase: the second phase
};
// One phase's load: its current (0: an idle phase) and its angle, positive lagging; near
// 180° the phase gives power to the network.
struct PhaseLoad {
    double current = 0;
    double angle = 0;
};
struct Wiring {
    WiringFault fault = WiringFault::None;  // the first mistake
    int phase = 0;
    int other = 1;
    Load load = Load::Normal;
    std::vector<WiringMistake> more{};  // further mistakes, applied after the first
    // When set, each phase's load as given (a little noise a measurement) instead of `load`.
    std::optional<std::array<PhaseLoad, 3>> loads{};
    // The load turned around: the site gives what it would take (180° added to every angle).
    bool exporting = false;
    // Phases without load (bit 0 A, 1 B, 2 C): their current transformers carry nothing.
    int idle = 0;
};

// The names the tool accepts, several joined by commas ("reversed-a,swapped-bc"): correct,
// correct-LOAD (a correct circuit under that load), reversed-a (-b, -c), swapped-ab (-bc,
// -ca), rotated (every current input carries the next phase's current), no-voltage-a (...),
// no-current-a (...), voltage-reversed-a (...), voltage-a-from-b (any two phases),
// voltages-swapped-ab (-bc, -ca).
std::optional<Wiring> wiringFromName(std::string_view name);
// normal, light, heavy, inductive, capacitive, motor, capacitor, mixed, export.
std::optional<Load> loadFromName(std::string_view name);
// Per-phase loads "I@ANGLE,I@ANGLE,I@ANGLE" (A, B, C): "5@0,3.1@65,1.8@-40"; a current of 0 is
// an idle phase.
std::optional<std::array<PhaseLoad, 3>> loadsFromText(std::string_view text);

struct MeterConfig {
    int periods = 5;         // stored periods, 0 to 255
    std::string countField{};  // when set: the 'O' reply's value field as given, 8 characters
    std::uint32_t seed = 2210;
    bool paced = false;      // answer at the speed of a 9600-baud line (the server does it)
    int hangUpAfter = -1;    // close the line after answering this many requests
    std::size_t longReplySize = 1100;
    std::size_t babbleSize = 400;  // 417 ms at 9600 baud
    std::vector<FaultRule> faults{};
    // When set, the live readings come from this circuit (its load drawn from the seed, with a
    // little noise a measurement) instead of the usual slightly unbalanced inductive load.
    std::optional<Wiring> wiring{};
};

struct Request {
    char command = 0;
    std::uint16_t address = 0;
    std::uint32_t argument = 0;
    int period() const { return address >> 8; }
    int param() const { return address & 0xFF; }
    bool operator==(const Request&) const = default;
};

// The request in a 16-byte frame: '~', a letter, 4 and 8 hex digits; bytes 14 and 15 are not
// read. Nothing when the digits are not hexadecimal.
std::optional<Request> parseRequest(std::span<const std::uint8_t> frame);

// Finds request frames in the received bytes: skips everything up to a '~' (reject bytes
// among them, which it counts), then takes 16 bytes. A '~' within the first 14 bytes of a
// frame starts the frame again.
class RequestReader {
public:
    std::optional<Request> feed(std::uint8_t byte);
    int rejects() const { return rejects_; }

private:
    std::vector<std::uint8_t> frame_;
    int rejects_ = 0;
};

// One phase's readings at one moment.
struct PhaseReading {
    double U = 0, I = 0, angle = 0;  // V, A, degrees
    double quantity(int q) const;    // q 0 to 5: U, I, angle, P, Q, S
};

struct Statistic {
    double min = 0, max = 0, avg = 0;
};

class MeterModel {
public:
    explicit MeterModel(MeterConfig config);

    // The bytes the meter sends in answer to one request; empty for no reply.
    std::vector<std::uint8_t> answer(const Request& request);
    // The last answer babbles: it goes out at line speed whether the line is paced or not.
    bool lastAnswerBabbles() const { return babbling_; }
    // How many answers a fault rule has spoiled.
    int faultsApplied() const { return faultsApplied_; }

    // The statistic of parameter n (1 to 18) over period p, as the meter keeps it.
    Statistic statistic(int period, int n) const;
    const MeterConfig& config() const { return config_; }

private:
    std::optional<std::string> valueField(const Request& request);
    const FaultRule* faultFor(const Request& request);
    PhaseReading averages(int period, int phase) const;
    // A new measurement of the phase's inputs.
    PhaseReading measure(int phase);

    MeterConfig config_;
    std::mt19937 random_;
    PhaseReading live_[3];
    PhaseReading load_[3];  // the network's voltage and each phase's load, with a wiring
    // How each input is connected, with a wiring: the phase of its voltage and of its current.
    int voltageFrom_[3] = {0, 1, 2}, currentFrom_[3] = {0, 1, 2};
    bool voltageReversed_[3] = {}, currentReversed_[3] = {}, voltageOpen_[3] = {}, currentOpen_[3] = {};
    std::vector<int> matched_, applied_;
    std::optional<Request> lastRequest_;
    std::optional<std::string> lastValue_;
    bool babbling_ = false;
    int faultsApplied_ = 0;
};

// The 8-character value field of a reading: "0230.500"; a value that needs more digits before
// the point keeps fewer after it ("-1021.81").
std::string decimalField(double value);

}  // namespace lumo::sim
