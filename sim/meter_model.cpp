#include "sim/meter_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/numtext.h"
#include "common/readings.h"

namespace lumo::sim {

namespace {

constexpr int Parameters = ReadingCount;
constexpr double Pi = 3.14159265358979323846;

// Typical readings of the three phases: a slightly unbalanced inductive load.
constexpr PhaseReading Nominal[3] = {{225.0, 4.2, 18.0}, {224.0, 3.6, 25.0}, {226.0, 5.1, 32.0}};

bool allHex(std::span<const std::uint8_t> digits) {
    return std::all_of(digits.begin(), digits.end(), [](std::uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

std::uint32_t hexValue(std::span<const std::uint8_t> digits) {
    return static_cast<std::uint32_t>(
        parseHex32(std::string_view(reinterpret_cast<const char*>(digits.data()), digits.size()))
            .value_or(0));
}

double uniform(std::mt19937& r, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(r);
}

std::vector<std::uint8_t> frameBytes(char command, int param, std::string_view value) {
    std::string s = "~";
    s += command;
    s += "00" + hexUpper(static_cast<std::uint32_t>(param), 2);
    s += value;
    s += "\r\n";
    return {s.begin(), s.end()};
}

}  // namespace

std::optional<Fault> faultFromName(std::string_view name) {
    static constexpr std::pair<std::string_view, Fault> names[] = {
        {"silence", Fault::Silence},         {"stray-byte", Fault::StrayByte},
        {"short-reply", Fault::ShortReply},  {"wrong-echo", Fault::WrongEcho},
        {"not-a-number", Fault::NotANumber}, {"non-hex-param", Fault::NonHexParam},
        {"param-number", Fault::ParamNumber}, {"long-reply", Fault::LongReply},
        {"babble", Fault::Babble},           {"flipped-bit", Fault::FlippedBit},
    };
    for (const auto& [n, f] : names)
        if (n == name) return f;
    return std::nullopt;
}

std::optional<Load> loadFromName(std::string_view name) {
    static constexpr std::pair<std::string_view, Load> names[] = {
        {"normal", Load::Normal},       {"light", Load::Light},         {"heavy", Load::Heavy},
        {"inductive", Load::Inductive}, {"capacitive", Load::Capacitive}, {"motor", Load::Motor},
        {"capacitor", Load::Capacitor}, {"mixed", Load::Mixed},           {"export", Load::Export}};
    for (const auto& [n, l] : names)
        if (n == name) return l;
    return std::nullopt;
}

std::optional<std::array<PhaseLoad, 3>> loadsFromText(std::string_view text) {
    std::array<PhaseLoad, 3> loads{};
    for (int p = 0; p < 3; ++p) {
        const size_t comma = text.find(',');
        if ((comma == std::string_view::npos) != (p == 2)) return std::nullopt;
        const std::string_view item = text.substr(0, comma);
        const size_t at = item.find('@');
        if (at == std::string_view::npos) return std::nullopt;
        // The numbers with a point, as typed on a command line.
        auto number = [](std::string_view t) -> std::optional<double> {
            std::string s(t);
            for (char& c : s)
                if (c == '.') c = ',';
            return parseDecimal(s);
        };
        const auto current = number(item.substr(0, at)), angle = number(item.substr(at + 1));
        if (!current || !angle || *current < 0 || *current > 1000 || std::abs(*angle) > 360) return std::nullopt;
        loads[static_cast<size_t>(p)] = {*current, *angle};
        if (p < 2) text.remove_prefix(comma + 1);
    }
    return loads;
}

namespace {

// One mistake's name: reversed-b, swapped-ab, rotated, voltage-a-from-b, ...
std::optional<WiringMistake> mistakeFromName(std::string_view name) {
    if (name == "rotated") return WiringMistake{WiringFault::RotatedCurrents, 0, 1};
    auto phase = [](char c) { return c >= 'a' && c <= 'c' ? c - 'a' : -1; };
    if (name.starts_with("voltage-") && name.size() == std::string_view("voltage-a-from-b").size() &&
        name.substr(9, 6) == "-from-") {
        const int p = phase(name[8]), o = phase(name[15]);
        if (p < 0 || o < 0 || p == o) return std::nullopt;
        return WiringMistake{WiringFault::VoltageFromPhase, p, o};
    }
    static constexpr std::pair<std::string_view, WiringFault> faults[] = {
        {"reversed-", WiringFault::ReversedCurrent},   {"swapped-", WiringFault::SwappedCurrents},
        {"no-voltage-", WiringFault::NoVoltage},       {"no-current-", WiringFault::NoCurrent},
        {"voltage-reversed-", WiringFault::ReversedVoltage}, {"voltages-swapped-", WiringFault::SwappedVoltages}};
    for (const auto& [prefix, fault] : faults) {
        if (!name.starts_with(prefix)) continue;
        const std::string_view phases = name.substr(prefix.size());
        const bool pair = fault == WiringFault::SwappedCurrents || fault == WiringFault::SwappedVoltages;
        if (phases.size() != (pair ? 2u : 1u)) return std::nullopt;
        WiringMistake m{fault, phase(phases[0]), pair ? phase(phases[1]) : 1};
        if (m.phase < 0 || m.other < 0 || (pair && m.other == m.phase)) return std::nullopt;
        return m;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Wiring> wiringFromName(std::string_view name) {
    if (name == "correct") return Wiring{};
    if (name.starts_with("correct-")) {
        auto load = loadFromName(name.substr(8));
        if (!load) return std::nullopt;
        return Wiring{.load = *load};
    }
    Wiring w;
    bool first = true;
    while (!name.empty()) {
        const size_t comma = name.find(',');
        const auto m = mistakeFromName(name.substr(0, comma));
        if (!m) return std::nullopt;
        if (first) w.fault = m->fault, w.phase = m->phase, w.other = m->other;
        else w.more.push_back(*m);
        first = false;
        name = comma == std::string_view::npos ? std::string_view{} : name.substr(comma + 1);
        if (comma != std::string_view::npos && name.empty()) return std::nullopt;
    }
    if (first) return std::nullopt;
    return w;
}

std::optional<Request> parseRequest(std::span<const std::uint8_t> frame) {
    if (frame.size() < 14 || frame[0] != '~') return std::nullopt;
    const auto address = frame.subspan(2, 4), argument = frame.subspan(6, 8);
    if (!allHex(address) || !allHex(argument)) return std::nullopt;
    return Request{static_cast<char>(frame[1]), static_cast<std::uint16_t>(hexValue(address)),
                   hexValue(argument)};
}

std::optional<Request> RequestReader::feed(std::uint8_t byte) {
    if (byte == '~' && frame_.size() < 14) frame_.clear();  // a frame starts (again)
    if (frame_.empty() && byte != '~') {
        if (byte == 0x03) ++rejects_;
        return std::nullopt;
    }
    frame_.push_back(byte);
    if (frame_.size() < 16) return std::nullopt;
    auto request = parseRequest(frame_);
    frame_.clear();
    return request;
}

double PhaseReading::quantity(int q) const {
    const double s = U * I, phi = angle * Pi / 180.0;
    switch (q) {
        case 0: return U;
        case 1: return I;
        case 2: return angle;
        case 3: return s * std::cos(phi);
        case 4: return s * std::sin(phi);
        default: return s;
    }
}

std::string decimalField(double value) {
    char buf[32];
    value = std::clamp(value, -9999999.0, 99999999.0);
    for (int decimals = 3; decimals > 0; --decimals) {
        std::snprintf(buf, sizeof buf, "%0*.*f", 8, decimals, value);
        if (std::strlen(buf) == 8) return buf;
    }
    std::snprintf(buf, sizeof buf, "%08.0f", value);
    return buf;
}

MeterModel::MeterModel(MeterConfig config)
    : config_(std::move(config)),
      random_(config_.seed),
      matched_(config_.faults.size(), 0),
      applied_(config_.faults.size(), 0) {
    for (int phase = 0; phase < 3; ++phase) live_[phase] = Nominal[phase];
    if (!config_.wiring) return;
    const Wiring& w = *config_.wiring;
    // The network's voltages, and each phase's load: given, or one kind of load drawn for the
    // three phases, each phase a little off.
    struct Range {
        double iLo, iHi, angleLo, angleHi;
    };
    static constexpr Range Ranges[] = {{2.5, 5, 10, 30}, {0.1, 0.5, 0, 30},   {4.5, 6, 5, 25},
                                       {1.5, 4, 30, 50}, {1, 3, -45, -20},    {1.5, 4, 60, 85},
                                       {1, 3, -90, -85}, {1.5, 5, 0, 0},      {2, 5, 150, 210}};
    const Range& r = Ranges[static_cast<int>(w.load)];
    const double current = uniform(random_, r.iLo, r.iHi), angle = uniform(random_, r.angleLo, r.angleHi);
    static constexpr double MixedAngle[3] = {0, 65, -40};
    for (int p = 0; p < 3; ++p) {
        PhaseReading& load = load_[p];
        load.U = uniform(random_, 220, 230);
        if (w.loads) {
            load.I = (*w.loads)[static_cast<size_t>(p)].current;
            load.angle = (*w.loads)[static_cast<size_t>(p)].angle;
        } else if (w.load == Load::Mixed) {
            load.I = current * uniform(random_, 0.5, 1.5);
            load.angle = MixedAngle[p] + uniform(random_, -3, 3);
        } else {
            load.I = current * uniform(random_, 0.8, 1.2);
            load.angle = angle + uniform(random_, -5, 5);
            // A consumer's load stays within 90° of its voltage, a plant's within 90° of 180°.
            if (w.load == Load::Export) load.angle = std::clamp(load.angle, 90.0, 270.0);
            else load.angle = std::clamp(load.angle, -90.0, 90.0);
        }
        if (w.exporting) load.angle += 180;
        if (w.idle & (1 << p)) load.I = 0;
    }
    // How the inputs are connected: the first mistake, then the others.
    std::vector<WiringMistake> mistakes = {{w.fault, w.phase, w.other}};
    mistakes.insert(mistakes.end(), w.more.begin(), w.more.end());
    for (const WiringMistake& m : mistakes) {
        switch (m.fault) {
            case WiringFault::None: break;
            case WiringFault::ReversedCurrent: currentReversed_[m.phase] = !currentReversed_[m.phase]; break;
            case WiringFault::SwappedCurrents: std::swap(currentFrom_[m.phase], currentFrom_[m.other]); break;
            case WiringFault::RotatedCurrents: {
                const int a = currentFrom_[0];
                currentFrom_[0] = currentFrom_[1], currentFrom_[1] = currentFrom_[2], currentFrom_[2] = a;
                break;
            }
            case WiringFault::NoVoltage: voltageOpen_[m.phase] = true; break;
            case WiringFault::NoCurrent: currentOpen_[m.phase] = true; break;
            case WiringFault::ReversedVoltage: voltageReversed_[m.phase] = !voltageReversed_[m.phase]; break;
            case WiringFault::VoltageFromPhase: voltageFrom_[m.phase] = m.other; break;
            case WiringFault::SwappedVoltages: std::swap(voltageFrom_[m.phase], voltageFrom_[m.other]); break;
        }
    }
}

PhaseReading MeterModel::measure(int phase) {
    if (!config_.wiring) {
        const PhaseReading& nominal = Nominal[phase];
        return {std::clamp(nominal.U + uniform(random_, -3, 3), 220.0, 230.0),
                nominal.I + uniform(random_, -0.4, 0.4), nominal.angle + uniform(random_, -2, 2)};
    }
    // The network's voltages lie at 0°, -120° and +120°; a phase's current lags its voltage by
    // the load's angle. The input's voltage and current are the phasors it is connected to; the
    // meter shows their magnitudes and the angle from the voltage to the current, 0° to 360°.
    static constexpr double VoltageAngle[3] = {0, -120, 120};
    const int vs = voltageFrom_[phase], cs = currentFrom_[phase];
    const PhaseReading &source = load_[vs], &load = load_[cs];
    PhaseReading m{source.U * (1 + uniform(random_, -0.003, 0.003)), load.I * (1 + uniform(random_, -0.01, 0.01)), 0};
    double voltageAngle = VoltageAngle[vs] + (voltageReversed_[phase] ? 180 : 0);
    double currentAngle = VoltageAngle[cs] - load.angle - uniform(random_, -0.5, 0.5) + (currentReversed_[phase] ? 180 : 0);
    // An open input picks up a volt or so, or a few milliamperes, at no particular angle.
    if (voltageOpen_[phase]) m.U = uniform(random_, 0, 1.5), voltageAngle = 0;
    if (currentOpen_[phase]) m.I = uniform(random_, 0, 0.002), currentAngle = 0;
    if (voltageOpen_[phase] || currentOpen_[phase]) return m;
    // An idle phase's transformer carries nothing: a few milliamperes of noise.
    if (m.I < 0.002) m.I = uniform(random_, 0, 0.002);
    m.angle = std::fmod(voltageAngle - currentAngle + 720.0, 360.0);
    return m;
}

PhaseReading MeterModel::averages(int period, int phase) const {
    std::mt19937 r(config_.seed * 7919u + static_cast<std::uint32_t>(period) * 131u +
                   static_cast<std::uint32_t>(phase));
    const PhaseReading& n = Nominal[phase];
    return {n.U + uniform(r, -2.5, 2.5), n.I + uniform(r, -0.5, 0.5), n.angle + uniform(r, -3, 3)};
}

Statistic MeterModel::statistic(int period, int n) const {
    const int phase = (n - 1) / 6, q = (n - 1) % 6;
    if (period == 0 && config_.periods > 0) {
        // The whole recording: over every stored period.
        Statistic all = statistic(1, n);
        double sum = all.avg;
        for (int p = 2; p <= config_.periods; ++p) {
            Statistic s = statistic(p, n);
            all.min = std::min(all.min, s.min);
            all.max = std::max(all.max, s.max);
            sum += s.avg;
        }
        all.avg = sum / config_.periods;
        return all;
    }
    std::mt19937 r(config_.seed * 104729u + static_cast<std::uint32_t>(period) * 257u +
                   static_cast<std::uint32_t>(n));
    const double avg = averages(period, phase).quantity(q);
    return {avg * (1.0 - uniform(r, 0.01, 0.08)), avg * (1.0 + uniform(r, 0.01, 0.08)), avg};
}

std::optional<std::string> MeterModel::valueField(const Request& request) {
    const int n = request.param();
    const bool parameter = n >= 1 && n <= Parameters;
    switch (request.command) {
        case 'D': {
            if (!parameter || request.period() != 0) return std::nullopt;
            const int phase = (n - 1) / 6, q = (n - 1) % 6;
            PhaseReading& live = live_[phase];
            if (q == 0) live = measure(phase);  // a new measurement of the phase starts with its voltage
            return decimalField(live.quantity(q));
        }
        case 'O':
            if (!config_.countField.empty()) return config_.countField;
            return hexUpper(static_cast<std::uint32_t>(config_.periods), 8);
        case 'N':
        case 'X':
        case 'A': {
            if (!parameter || request.period() > config_.periods) return std::nullopt;
            const Statistic s = statistic(request.period(), n);
            return decimalField(request.command == 'N' ? s.min : request.command == 'X' ? s.max : s.avg);
        }
        case 's':
            return std::string(8, '0');
        default:
            return std::nullopt;
    }
}

const FaultRule* MeterModel::faultFor(const Request& request) {
    for (std::size_t i = 0; i < config_.faults.size(); ++i) {
        const FaultRule& rule = config_.faults[i];
        if (rule.command && rule.command != request.command) continue;
        if (rule.param && rule.param != request.param()) continue;
        if (rule.period >= 0 && rule.period != request.period()) continue;
        const int k = matched_[i]++;
        if (k % std::max(rule.every, 1) != 0) continue;
        if (rule.limit >= 0 && applied_[i] >= rule.limit) continue;
        ++applied_[i];
        ++faultsApplied_;
        return &rule;
    }
    return nullptr;
}

std::vector<std::uint8_t> MeterModel::answer(const Request& request) {
    // The same request again (a resend) gets the same reading, not a new measurement.
    if (!lastRequest_ || !(*lastRequest_ == request)) lastValue_ = valueField(request);
    lastRequest_ = request;
    babbling_ = false;
    const auto& value = lastValue_;
    if (!value) return {};
    const int param = request.command == 'D' || request.command == 'N' || request.command == 'X' ||
                              request.command == 'A'
                          ? request.param()
                          : 0;
    std::vector<std::uint8_t> reply = frameBytes(request.command, param, *value);
    const FaultRule* rule = faultFor(request);
    if (!rule) return reply;
    switch (rule->fault) {
        case Fault::None: break;
        case Fault::Silence: reply.clear(); break;
        case Fault::StrayByte:
            // One byte before the frame and one after it: the reply stays of even length, so
            // even a late reply read together with the next one keeps its '~' at an odd offset.
            reply.insert(reply.begin(), 'x');
            reply.push_back('x');
            break;
        case Fault::ShortReply: reply.resize(14); break;
        case Fault::WrongEcho: reply[1] = request.command == 'D' ? 'O' : 'D'; break;
        case Fault::NotANumber: std::copy_n("OVERLOAD", 8, reply.begin() + 6); break;
        case Fault::FlippedBit: reply[6] ^= 0x08; break;
        case Fault::NonHexParam: reply[4] = 'G', reply[5] = '?'; break;
        case Fault::ParamNumber: {
            const std::string digits = hexUpper(static_cast<std::uint32_t>(rule->reportedParam), 2);
            reply[4] = static_cast<std::uint8_t>(digits[0]);
            reply[5] = static_cast<std::uint8_t>(digits[1]);
            break;
        }
        case Fault::LongReply:
        case Fault::Babble: {
            static constexpr char filler[] = "0123456789";
            const std::size_t size = rule->fault == Fault::Babble ? config_.babbleSize : config_.longReplySize;
            for (std::size_t i = 0; reply.size() < size; ++i)
                reply.push_back(static_cast<std::uint8_t>(filler[i % 10]));
            babbling_ = rule->fault == Fault::Babble;
            break;
        }
    }
    return reply;
}

}  // namespace lumo::sim
