#include "wiring/wiring_check.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "common/messages.h"
#include "common/numtext.h"
#include "common/readings.h"

namespace lumo::wiring {

namespace {

constexpr double Pi = 3.14159265358979323846;
// The voltages' drawn angles: A 0°, B -120°, C +120°.
constexpr double VoltageAngle[3] = {0.0, -120.0, 120.0};

std::string volts(double v) { return formatRounded(v, 1) + " В"; }
std::string amperes(double i) { return formatRounded(i, std::abs(i) < 1 ? 3 : 2) + " А"; }
std::string degrees(double a) { return formatRounded(a, 0) + "°"; }
std::string power(double p, const char* unit) {
    return formatRounded(p, std::abs(p) < 100 ? 1 : 0) + " " + unit;
}

double meanOf(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

// The mean of the phases' values other than `phase`, where `use` says a phase counts.
template <class Get>
double othersMean(int phase, const bool (&use)[3], Get get) {
    std::vector<double> v;
    for (int p = 0; p < 3; ++p)
        if (p != phase && use[p]) v.push_back(get(p));
    return meanOf(v);
}

// The phase farthest from the mean of the given phases, when it is farther than `share` of the
// mean (at least two phases are needed to speak of unbalance).
std::optional<int> unbalanced(const bool (&use)[3], const double (&value)[3], double share, double& mean) {
    std::vector<double> v;
    for (int p = 0; p < 3; ++p)
        if (use[p]) v.push_back(value[p]);
    if (v.size() < 2) return std::nullopt;
    mean = meanOf(v);
    int worst = -1;
    double deviation = 0;
    for (int p = 0; p < 3; ++p)
        if (use[p] && std::abs(value[p] - mean) > deviation) deviation = std::abs(value[p] - mean), worst = p;
    if (mean <= 0 || deviation <= share * mean) return std::nullopt;
    return worst;
}

// How a current input may be connected: the current of phase `source`, reversed or not. The
// angle the meter then shows is the load's angle plus `offset`.
struct Explanation {
    int source;
    bool reversed;
    double offset;
};

Explanation explanation(int phase, int source, bool reversed) {
    return {source, reversed,
            normalizedAngle(VoltageAngle[phase] - VoltageAngle[source] + (reversed ? 180.0 : 0.0))};
}

struct Channel {
    int phase;
    double angle;  // (-180, 180]
};

// The explanation of each channel under one hypothesis of the load's angle.
struct Hypothesis {
    double loadAngle = 0;
    int faults = 0;
    double residual = 0;
    std::vector<Explanation> explained;
};

// Finds the load angle and the connection of each current input that explain the measured
// angles with the fewest faults: a phase within the tolerance of the load angle carries its own
// current; any other is explained by the nearest of the other connections. Ties go to the load
// angle nearest to 0° (loads mostly have a good power factor), then to the closer fit. With a
// single phase to judge only its own current, reversed or not, can be told apart.
Hypothesis explainAngles(const std::vector<Channel>& channels, const Limits& limits) {
    const bool single = channels.size() == 1;
    auto allowed = [&](int phase) {
        std::vector<Explanation> all;
        for (int source = 0; source < 3; ++source)
            for (bool reversed : {false, true})
                if (!single || source == phase) all.push_back(explanation(phase, source, reversed));
        return all;
    };
    std::optional<Hypothesis> best;
    for (const Channel& from : channels)
        for (const Explanation& e : allowed(from.phase)) {
            const double load = normalizedAngle(from.angle - e.offset);
            if (std::abs(load) >= limits.maxLoadAngle) continue;
            Hypothesis h;
            h.loadAngle = load;
            for (const Channel& c : channels) {
                const double own = std::abs(normalizedAngle(c.angle - load));
                if (own <= limits.ownAngleTolerance) {
                    h.explained.push_back(explanation(c.phase, c.phase, false));
                    h.residual += own;
                    continue;
                }
                std::optional<Explanation> nearest;
                double distance = 360;
                for (const Explanation& x : allowed(c.phase)) {
                    if (x.source == c.phase && !x.reversed) continue;
                    const double d = std::abs(normalizedAngle(c.angle - load - x.offset));
                    if (d < distance) distance = d, nearest = x;
                }
                h.explained.push_back(*nearest);
                h.residual += distance;
                ++h.faults;
            }
            auto key = [](const Hypothesis& x) {
                return std::tuple(x.faults, std::round(std::abs(x.loadAngle)), x.residual);
            };
            if (!best || key(h) < key(*best)) best = std::move(h);
        }
    if (!best) {
        // No load angle within the limit explains any phase (a single phase at exactly ±90°):
        // every phase counts as its own.
        Hypothesis h;
        for (const Channel& c : channels) h.explained.push_back(explanation(c.phase, c.phase, false));
        h.loadAngle = channels.empty() ? 0 : channels.front().angle;
        return h;
    }
    return *best;
}

}  // namespace

char phaseLetter(int phase) { return static_cast<char>('A' + phase); }

double normalizedAngle(double degrees) {
    double a = std::fmod(degrees, 360.0);
    if (a <= -180.0) a += 360.0;
    if (a > 180.0) a -= 360.0;
    return a;
}

Readings parseReadings(const std::vector<std::string>& texts) {
    Readings r;
    for (int p = 0; p < 3; ++p) {
        auto at = [&](int q) -> std::optional<double> {
            const size_t n = static_cast<size_t>(p * ReadingsPerPhase + q);
            return n < texts.size() ? parseDecimal(texts[n]) : std::nullopt;
        };
        auto magnitude = [&](int q) {
            auto v = at(q);
            return v && *v >= 0 ? v : std::nullopt;
        };
        r[static_cast<size_t>(p)] = {magnitude(0), magnitude(1), at(2), at(3), at(4), magnitude(5)};
    }
    return r;
}

std::vector<std::string> Verdict::lines() const {
    if (noData) return {msg::NoData};
    if (findings.empty()) return {msg::WiringOk};
    std::vector<std::string> out;
    for (const Finding& f : findings) out.push_back(f.text);
    return out;
}

Verdict check(const Readings& readings, const Limits& limits) {
    Verdict verdict;
    auto add = [&](Kind kind, int phase, std::string text, int other = -1, char quantity = 0) {
        verdict.findings.push_back({kind, phase, other, quantity, std::move(text)});
    };
    auto at = [&](int p) -> const PhaseReadings& { return readings[static_cast<size_t>(p)]; };

    bool any = false;
    for (int p = 0; p < 3; ++p) {
        const PhaseReadings& r = at(p);
        std::string missing;
        const std::pair<const std::optional<double>*, const char*> named[] = {
            {&r.U, "U"}, {&r.I, "I"}, {&r.angle, "угол"}, {&r.P, "P"}, {&r.Q, "Q"}, {&r.S, "S"}};
        for (const auto& [value, name] : named) {
            if (*value) any = true;
            else missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
        if (!missing.empty()) add(Kind::MissingReadings, p, msg::missingReadings(phaseLetter(p), missing));
    }
    if (!any) {
        verdict.findings.clear();
        verdict.noData = true;
        return verdict;
    }

    // Voltages.
    double U[3] = {}, I[3] = {};
    bool hasU[3] = {}, hasI[3] = {};
    double maxU = -1;
    for (int p = 0; p < 3; ++p)
        if (at(p).U) U[p] = *at(p).U, hasU[p] = true, maxU = std::max(maxU, U[p]);
    if (maxU < 0) return verdict;  // no voltage reading at all: the missing lines say so
    if (maxU < limits.minVoltage) {
        add(Kind::NoVoltageAnywhere, -1, msg::NoVoltageAnywhere);
        return verdict;
    }
    bool voltage[3] = {};
    for (int p = 0; p < 3; ++p) voltage[p] = hasU[p] && U[p] >= limits.lostVoltageShare * maxU;
    for (int p = 0; p < 3; ++p)
        if (hasU[p] && !voltage[p])
            add(Kind::NoVoltage, p,
                msg::noVoltage(phaseLetter(p), volts(U[p]), volts(othersMean(p, voltage, [&](int q) { return U[q]; }))));
    double meanU = 0;
    if (auto p = unbalanced(voltage, U, limits.voltageUnbalance, meanU))
        add(Kind::VoltageUnbalance, *p, msg::unbalance(true, phaseLetter(*p), volts(U[*p]), volts(meanU)));

    // Currents.
    double maxI = -1;
    for (int p = 0; p < 3; ++p)
        if (at(p).I) I[p] = *at(p).I, hasI[p] = true, maxI = std::max(maxI, I[p]);
    if (maxI >= 0 && maxI < limits.minLoadCurrent) {
        add(Kind::LowLoad, -1, msg::lowLoad(amperes(maxI), amperes(limits.minLoadCurrent)));
    } else if (maxI >= 0) {
        bool current[3] = {};
        for (int p = 0; p < 3; ++p)
            current[p] = hasI[p] && I[p] >= limits.lostCurrentShare * maxI;
        for (int p = 0; p < 3; ++p)
            if (hasI[p] && !current[p])
                add(Kind::NoCurrent, p,
                    msg::noCurrent(phaseLetter(p), amperes(I[p]),
                                   amperes(othersMean(p, current, [&](int q) { return I[q]; }))));
        double meanI = 0;
        if (auto p = unbalanced(current, I, limits.currentUnbalance, meanI))
            add(Kind::CurrentUnbalance, *p, msg::unbalance(false, phaseLetter(*p), amperes(I[*p]), amperes(meanI)));

        // The angles of the phases that have both a voltage and a current large enough to have
        // a meaningful angle.
        std::vector<Channel> channels;
        for (int p = 0; p < 3; ++p)
            if (voltage[p] && current[p] && I[p] >= limits.minLoadCurrent && at(p).angle)
                channels.push_back({p, normalizedAngle(*at(p).angle)});
        const Hypothesis h = explainAngles(channels, limits);
        std::vector<bool> told(channels.size(), false);
        for (size_t i = 0; i < channels.size(); ++i) {
            const int p = channels[i].phase;
            const Explanation& e = h.explained[i];
            const std::string angle = degrees(*at(p).angle);
            if (told[i] || (e.source == p && !e.reversed)) continue;
            if (e.source == p) {
                const auto& P = at(p).P;
                add(Kind::Reversed, p, msg::reversedCurrent(phaseLetter(p), angle, P ? power(*P, "Вт") : msg::None));
                continue;
            }
            // Two phases that carry each other's current make one line.
            bool swapped = false;
            for (size_t j = i + 1; j < channels.size() && !e.reversed; ++j)
                if (channels[j].phase == e.source && h.explained[j].source == p && !h.explained[j].reversed) {
                    add(Kind::Swapped, p,
                        msg::swappedCurrents(phaseLetter(p), phaseLetter(e.source),
                                             angle + " и " + degrees(*at(e.source).angle)),
                        e.source);
                    told[j] = swapped = true;
                }
            if (!swapped)
                add(e.reversed ? Kind::OtherPhaseReversed : Kind::OtherPhase, p,
                    msg::otherPhaseCurrent(phaseLetter(p), phaseLetter(e.source), e.reversed, angle,
                                           degrees(h.loadAngle)),
                    e.source);
        }
    }

    // The meter's own values against each other.
    for (int p = 0; p < 3; ++p) {
        const PhaseReadings& r = at(p);
        if (!r.U || !r.I || !r.angle) continue;
        const double s = *r.U * *r.I, phi = *r.angle * Pi / 180.0;
        const double tolerance = limits.misfitShare * s + limits.misfitFloor;
        const struct {
            const std::optional<double>& value;
            double expected;
            char quantity;
            const char* unit;
            const char* formula;
        } checks[] = {{r.P, s * std::cos(phi), 'P', "Вт", "U·I·cos φ"},
                      {r.Q, s * std::sin(phi), 'Q', "вар", "U·I·sin φ"},
                      {r.S, s, 'S', "ВА", "U·I"}};
        for (const auto& c : checks)
            if (c.value && std::abs(*c.value - c.expected) > tolerance) {
                add(Kind::Misfit, p,
                    msg::misfit(phaseLetter(p), std::string(1, c.quantity) + " = " + power(*c.value, c.unit),
                                std::string(c.formula) + " = " + power(c.expected, c.unit)),
                    -1, c.quantity);
                break;  // one line a phase
            }
    }
    return verdict;
}

}  // namespace lumo::wiring
