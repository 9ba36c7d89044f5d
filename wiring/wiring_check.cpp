#include "wiring/wiring_check.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <tuple>

#include "common/messages.h"
#include "common/numtext.h"
#include "common/readings.h"

namespace lumo::wiring {

namespace {

constexpr double Pi = 3.14159265358979323846;
// The voltages' angles: A 0°, B -120°, C +120°.
constexpr double VoltageAngle[3] = {0.0, -120.0, 120.0};

std::string volts(double v) { return formatRounded(v, 1) + " В"; }
std::string amperes(double i) { return formatRounded(i, std::abs(i) < 1 ? 3 : 2) + " А"; }
std::string degrees(double a) { return formatRounded(a, 0) + "°"; }
std::string power(double p, const char* unit) {
    return formatRounded(p, std::abs(p) < 100 ? 1 : 0) + " " + unit;
}
std::string letters(const std::vector<int>& phases) {
    std::string s;
    for (size_t i = 0; i < phases.size(); ++i)
        s += std::string(i == 0 ? "" : i + 1 == phases.size() ? " и " : ", ") + phaseLetter(phases[i]);
    return s;
}
// The first letter in upper case (the texts are UTF-8: a Cyrillic letter is two bytes).
std::string capitalised(std::string s) {
    static const std::pair<const char*, const char*> pairs[] = {
        {"т", "Т"}, {"ф", "Ф"}, {"н", "Н"}, {"в", "В"}, {"п", "П"}, {"о", "О"}, {"и", "И"}};
    for (const auto& [lower, upper] : pairs)
        if (s.rfind(lower, 0) == 0) return upper + s.substr(std::string(lower).size());
    return s;
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

// ---- The connections ----

// One way of connecting the meter: input k's voltage from phase sigma[k], its current from
// phase tau[k] (a permutation: each current transformer feeds one input), reversed where
// bit k of `reversed` is set (current or voltage: the angle cannot tell). The angle input k
// shows is then the load angle of phase tau[k] plus offset[k].
struct Connection {
    int sigma[3];
    int tau[3];
    int reversed;
    bool voltagesBijective;
    double offset[3];
    int currentMistakes = 0, voltageMistakes = 0;
    // Among connections of equal cost the likelier mistakes first: reversed, then swapped or
    // moved currents, then voltages.
    int rank = 0;
    // How many inputs are connected wrongly (a simpler explanation has fewer).
    int inputs = 0;
    std::vector<Mistake> mistakes;
};

// Every connection with at most three mistakes, the correct one first.
const std::vector<Connection>& connections() {
    static const std::vector<Connection> all = [] {
        std::vector<Connection> list;
        int perm[3] = {0, 1, 2};
        std::vector<std::array<int, 3>> perms;
        do perms.push_back({perm[0], perm[1], perm[2]});
        while (std::next_permutation(perm, perm + 3));
        for (int sigmaCode = 0; sigmaCode < 27; ++sigmaCode)
            for (const auto& tau : perms)
                for (int reversed = 0; reversed < 8; ++reversed) {
                    Connection c{};
                    c.sigma[0] = sigmaCode % 3, c.sigma[1] = sigmaCode / 3 % 3, c.sigma[2] = sigmaCode / 9;
                    for (int k = 0; k < 3; ++k) c.tau[k] = tau[static_cast<size_t>(k)];
                    c.reversed = reversed;
                    const bool bijective = c.sigma[0] != c.sigma[1] && c.sigma[1] != c.sigma[2] && c.sigma[0] != c.sigma[2];
                    c.voltagesBijective = bijective;
                    // The currents: the correct order, two swapped, or all moved on by one.
                    const int currentsMoved = (c.tau[0] != 0) + (c.tau[1] != 1) + (c.tau[2] != 2);
                    if (currentsMoved == 3) {
                        c.mistakes.push_back({Mistake::Type::CurrentsRotated, 0, c.tau[0]});
                    } else if (currentsMoved == 2) {
                        std::vector<int> moved;
                        for (int k = 0; k < 3; ++k)
                            if (c.tau[k] != k) moved.push_back(k);
                        c.mistakes.push_back({Mistake::Type::CurrentsSwapped, moved[0], moved[1]});
                    }
                    c.currentMistakes = currentsMoved > 0;
                    // The voltages: as the currents, or inputs on another phase.
                    const int voltagesMoved = (c.sigma[0] != 0) + (c.sigma[1] != 1) + (c.sigma[2] != 2);
                    if (bijective && voltagesMoved == 3) {
                        c.mistakes.push_back({Mistake::Type::VoltagesRotated, 0, c.sigma[0]});
                        c.voltageMistakes = 1;
                    } else if (bijective && voltagesMoved == 2) {
                        std::vector<int> moved;
                        for (int k = 0; k < 3; ++k)
                            if (c.sigma[k] != k) moved.push_back(k);
                        c.mistakes.push_back({Mistake::Type::VoltagesSwapped, moved[0], moved[1]});
                        c.voltageMistakes = 1;
                    } else if (!bijective) {
                        for (int k = 0; k < 3; ++k) {
                            if (c.sigma[k] == k) continue;
                            const int j = c.sigma[k];
                            if (c.sigma[j] == k) {  // a pair swapped, told once
                                if (k < j) c.mistakes.push_back({Mistake::Type::VoltagesSwapped, k, j});
                            } else {
                                c.mistakes.push_back({Mistake::Type::VoltageFromPhase, k, j});
                            }
                            if (c.sigma[j] != k || k < j) ++c.voltageMistakes;
                        }
                    }
                    for (int k = 0; k < 3; ++k)
                        if (reversed & (1 << k)) c.mistakes.push_back({Mistake::Type::Reversed, k, -1});
                    // All three reversed is one mistake made three times (the transformers' two
                    // ends exchanged throughout).
                    const int reversals = reversed == 7 ? 1 : std::popcount(static_cast<unsigned>(reversed));
                    c.currentMistakes += reversals;
                    if (c.currentMistakes + c.voltageMistakes > 3) continue;
                    for (const Mistake& m : c.mistakes)
                        c.rank += m.type == Mistake::Type::Reversed          ? 1
                                  : m.type == Mistake::Type::CurrentsSwapped ? 2
                                  : m.type == Mistake::Type::CurrentsRotated ? 3
                                                                             : 4;
                    for (int k = 0; k < 3; ++k)
                        c.inputs += c.sigma[k] != k || c.tau[k] != k || (reversed & (1 << k));
                    for (int k = 0; k < 3; ++k)
                        c.offset[k] = normalizedAngle(VoltageAngle[c.sigma[k]] - VoltageAngle[c.tau[k]] +
                                                      ((reversed & (1 << k)) ? 180.0 : 0.0));
                    list.push_back(std::move(c));
                }
        // The correct connection first.
        std::stable_sort(list.begin(), list.end(), [](const Connection& a, const Connection& b) {
            return a.currentMistakes + a.voltageMistakes < b.currentMistakes + b.voltageMistakes;
        });
        return list;
    }();
    return all;
}

// Where a load angle may lie for a healthy phase: within 90° (and the margin) of 0° for
// consumption, of 180° for generation.
bool consumes(double load, const Limits& limits) { return std::abs(normalizedAngle(load)) <= 90.0 + limits.sectorMargin; }
bool generates(double load, const Limits& limits) {
    return std::abs(normalizedAngle(load - 180.0)) <= 90.0 + limits.sectorMargin;
}

// The smallest arc, degrees, that holds every angle given.
double spreadOf(const double* angles, int n) {
    if (n < 2) return 0;
    double a[3];
    for (int i = 0; i < n; ++i) {
        a[i] = std::fmod(angles[i], 360.0);
        if (a[i] < 0) a[i] += 360.0;
    }
    std::sort(a, a + n);
    double widestGap = 360.0 - (a[n - 1] - a[0]);
    for (int i = 1; i < n; ++i) widestGap = std::max(widestGap, a[i] - a[i - 1]);
    return 360.0 - widestGap;
}

// The mean direction of the angles, (-180, 180].
double meanAngle(const double* angles, int n) {
    double x = 0, y = 0;
    for (int i = 0; i < n; ++i) x += std::cos(angles[i] * Pi / 180), y += std::sin(angles[i] * Pi / 180);
    return normalizedAngle(std::atan2(y, x) * 180 / Pi);
}

struct Scored {
    const Connection* connection;
    double cost;
    double spread;
    std::array<std::optional<double>, 3> loads;
};

// The cost of a connection for the angles of the judged inputs, or nothing when it cannot be:
// a load outside the site's sector, or two inputs on one phase that read different voltages.
std::optional<Scored> score(const Connection& c, const std::optional<double> (&angle)[3], const bool (&hasU)[3],
                            const double (&U)[3], Site site, const Limits& limits) {
    for (int k = 0; k < 3; ++k) {
        if (angle[k]) continue;
        // A mistake on an input whose angle is not judged could not be seen.
        if ((c.reversed & (1 << k)) || (!c.voltagesBijective && c.sigma[k] != k)) return std::nullopt;
    }
    if (!c.voltagesBijective)
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j)
                if (c.sigma[i] == c.sigma[j] && hasU[i] && hasU[j] &&
                    std::abs(U[i] - U[j]) > limits.sameVoltageShare * std::max(U[i], U[j]))
                    return std::nullopt;
    Scored s{&c, 0, 0, {}};
    double loads[3];
    int n = 0;
    bool allConsume = true, allGenerate = true;
    for (int k = 0; k < 3; ++k) {
        if (!angle[k]) continue;
        const double load = normalizedAngle(*angle[k] - c.offset[k]);
        s.loads[static_cast<size_t>(c.tau[k])] = load;
        loads[n++] = load;
        allConsume = allConsume && consumes(load, limits);
        allGenerate = allGenerate && generates(load, limits);
    }
    const bool fits = site == Site::Consumption ? allConsume : site == Site::Generation ? allGenerate
                                                                                         : allConsume || allGenerate;
    if (!fits) return std::nullopt;
    s.spread = spreadOf(loads, n);
    s.cost = limits.mistakeCost * c.currentMistakes +
             (limits.mistakeCost + limits.voltageMistakeExtra) * c.voltageMistakes +
             std::min(s.spread * limits.spreadCost, limits.mixedLoadCost);
    return s;
}

// The phrase for a connection's mistakes: "токи фаз A и C перепутаны местами; фаза B: ...".
std::string describe(const std::vector<Mistake>& mistakes) {
    std::string text;
    std::vector<int> reversedPhases;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    for (const Mistake& m : mistakes) {
        const char p = phaseLetter(m.phase), o = m.other >= 0 ? phaseLetter(m.other) : ' ';
        switch (m.type) {
            case Mistake::Type::Reversed: reversedPhases.push_back(m.phase); break;
            case Mistake::Type::CurrentsSwapped: add(msg::currentsSwapped(p, o)); break;
            case Mistake::Type::CurrentsRotated:
            case Mistake::Type::VoltagesRotated: {
                // Input A carries `other`'s; B and C the phases after it in the same direction.
                const int step = (m.other - 0 + 3) % 3;
                const char onB = phaseLetter((1 + step) % 3), onC = phaseLetter((2 + step) % 3);
                add(m.type == Mistake::Type::CurrentsRotated ? msg::currentsRotated(o, onB, onC)
                                                             : msg::voltagesRotated(o, onB, onC));
                break;
            }
            case Mistake::Type::VoltageFromPhase: add(msg::voltageFromPhase(p, o)); break;
            case Mistake::Type::VoltagesSwapped: add(msg::voltagesSwapped(p, o)); break;
        }
    }
    if (!reversedPhases.empty()) add(msg::reversed(letters(reversedPhases), reversedPhases.size() > 1));
    return text;
}

// "нагрузке около 20°", or each phase's load where they lie far apart.
// A load angle as the operator reads it: a generating load about 180° (190°, not -170°).
std::string loadAngle(double load) {
    const double a = normalizedAngle(load);
    return degrees(std::abs(a) > 90.0 && a < 0 ? a + 360.0 : a);
}

std::string loadText(const std::array<std::optional<double>, 3>& loads, double spread) {
    double a[3];
    int n = 0;
    std::string list;
    for (int p = 0; p < 3; ++p)
        if (loads[static_cast<size_t>(p)]) {
            a[n++] = *loads[static_cast<size_t>(p)];
            list += std::string(list.empty() ? "" : ", ") + phaseLetter(p) + " " + loadAngle(*loads[static_cast<size_t>(p)]);
        }
    if (spread <= 30.0 || n == 1) return msg::loadAbout(loadAngle(meanAngle(a, n)));
    return msg::loadsOf(list);
}

bool sameLoads(const Scored& a, const Scored& b) {
    for (size_t p = 0; p < 3; ++p) {
        if (a.loads[p].has_value() != b.loads[p].has_value()) return false;
        if (a.loads[p] && std::abs(normalizedAngle(*a.loads[p] - *b.loads[p])) > 0.5) return false;
    }
    return true;
}

int mistakeCount(const Connection& c) { return c.currentMistakes + c.voltageMistakes; }

// The reading's name and unit in the lines.
struct Quantity {
    char letter;
    const char* name;
    const char* unit;
};
constexpr Quantity Quantities[ReadingsPerPhase] = {{'U', "U", "В"}, {'I', "I", "А"},   {'F', "φ", "°"},
                                                   {'P', "P", "Вт"}, {'Q', "Q", "вар"}, {'S', "S", "ВА"}};
std::string reading(int q, double value) {
    if (q == 2) return std::string("φ = ") + degrees(value);
    if (q == 0) return "U = " + volts(value);
    if (q == 1) return "I = " + amperes(value);
    return std::string(Quantities[q].name) + " = " + power(value, Quantities[q].unit);
}

}  // namespace

const char* siteName(Site site) {
    switch (site) {
        case Site::Generation: return "Generation";
        case Site::Both: return "Both";
        default: return "Consumption";
    }
}

std::optional<Site> siteFromName(std::string_view name) {
    for (Site s : {Site::Consumption, Site::Generation, Site::Both}) {
        const std::string_view n = siteName(s);
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return s;
    }
    return std::nullopt;
}

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

bool Verdict::anyFault() const {
    return std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Severity::Fault; });
}

std::vector<Line> Verdict::shownLines() const {
    if (noData) return {{Severity::Note, msg::NoData}};
    if (findings.empty()) return {{Severity::Note, msg::WiringOk}};
    std::vector<Line> out;
    for (Severity severity : {Severity::Fault, Severity::Note})
        for (const Finding& f : findings)
            if (f.severity == severity) out.push_back({f.severity, f.text});
    return out;
}

std::vector<std::string> Verdict::lines() const {
    std::vector<std::string> out;
    for (const Line& l : shownLines()) out.push_back(l.text);
    return out;
}

Verdict check(const Readings& readings, Site site, const Limits& limits) {
    Verdict verdict;
    verdict.site = site;
    auto add = [&](Kind kind, Severity severity, int phase, std::string text, int other = -1, char quantity = 0) {
        verdict.findings.push_back({kind, severity, phase, other, quantity, std::move(text), {}});
    };
    auto at = [&](int p) -> const PhaseReadings& { return readings[static_cast<size_t>(p)]; };
    auto value = [&](int p, int q) -> const std::optional<double>& {
        const PhaseReadings& r = at(p);
        const std::optional<double>* all[] = {&r.U, &r.I, &r.angle, &r.P, &r.Q, &r.S};
        return *all[q];
    };

    bool any = false;
    for (int p = 0; p < 3; ++p) {
        std::string missing;
        static const char* const names[] = {"U", "I", "угол", "P", "Q", "S"};
        for (int q = 0; q < ReadingsPerPhase; ++q) {
            if (value(p, q)) any = true;
            else missing += (missing.empty() ? "" : ", ") + std::string(names[q]);
        }
        if (!missing.empty()) add(Kind::MissingReadings, Severity::Note, p, msg::missingReadings(phaseLetter(p), missing));
    }
    if (!any) {
        verdict.findings.clear();
        verdict.noData = true;
        return verdict;
    }

    // Readings that cannot be real: beyond what the meter measures, or one reading of a phase
    // that the phase's other five contradict. A tick with one of them is not judged at all: a
    // garbled value would make everything else it touches wrong.
    const double maxU = limits.implausibleVoltageFactor * limits.nominalVoltage;
    const double maxPower = std::min(maxU * limits.maxCurrent, limits.fieldMax);
    const double bounds[ReadingsPerPhase] = {maxU, limits.maxCurrent, limits.maxAngle, maxPower, maxPower, maxPower};
    auto implausible = [&](int p, int q, const std::string& why) {
        verdict.implausible |= 1u << (p * ReadingsPerPhase + q);
        add(Kind::Implausible, Severity::Note, p, msg::implausibleReading(phaseLetter(p), reading(q, *value(p, q)), why),
            -1, Quantities[q].letter);
    };
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < ReadingsPerPhase; ++q)
            if (const auto& v = value(p, q); v && !(std::abs(*v) <= std::min(bounds[q], limits.fieldMax)))
                implausible(p, q, msg::beyond(q == 0 ? volts(bounds[q]) : q == 1 ? amperes(bounds[q])
                                                  : q == 2 ? degrees(bounds[q])
                                                           : power(bounds[q], Quantities[q].unit)));
    if (verdict.implausible == 0)
        for (int p = 0; p < 3; ++p) {
            const PhaseReadings& r = at(p);
            if (!r.U || !r.I || !r.angle) continue;
            const double s = *r.U * *r.I, phi = *r.angle * Pi / 180.0;
            auto fits = [&](double measured, double expected, double scale) {
                return std::abs(measured - expected) <= limits.misfitShare * scale + limits.misfitFloor;
            };
            const struct {
                const std::optional<double>& value;
                double expected;
                int q;
                const char* formula;
            } checks[] = {{r.P, s * std::cos(phi), 3, "U·I·cos φ"}, {r.Q, s * std::sin(phi), 4, "U·I·sin φ"}, {r.S, s, 5, "U·I"}};
            const auto bad = std::find_if(std::begin(checks), std::end(checks),
                                          [&](const auto& c) { return c.value && !fits(*c.value, c.expected, s); });
            if (bad == std::end(checks)) continue;
            // Which one reading, left out, lets the other five fit: P, Q or S alone against U·I
            // and the angle; U or I against S and the other; the angle against P and Q. The
            // one whose absence leaves the best fit; between U and I (either fits S exactly)
            // the one whose value the phase's own readings put nearer the other phases'.
            auto residual = [&](int left, double uu, double ii, double angle) {
                const double ss = uu * ii, a = angle * Pi / 180.0;
                double worst = 0;
                auto against = [&](int q, const std::optional<double>& v, double expected) {
                    if (q != left && v) worst = std::max(worst, std::abs(*v - expected) / (ss + limits.misfitFloor));
                };
                against(3, r.P, ss * std::cos(a));
                against(4, r.Q, ss * std::sin(a));
                against(5, r.S, ss);
                return worst;
            };
            auto farFromOthers = [&](int q, double v) {
                double sum = 0;
                int n = 0;
                for (int o = 0; o < 3; ++o)
                    if (o != p && value(o, q) && *value(o, q) > 0) sum += std::abs(std::log(std::max(v, 1e-9) / *value(o, q))), ++n;
                return n ? sum / n : 0.0;
            };
            struct Candidate {
                int q;
                double expected, residual, far;
            };
            std::vector<Candidate> candidates;
            for (int left : {3, 4, 5})
                if (value(p, left))
                    candidates.push_back({left, left == 3 ? s * std::cos(phi) : left == 4 ? s * std::sin(phi) : s,
                                          residual(left, *r.U, *r.I, *r.angle), 0});
            if (r.S && *r.S > 0) {
                if (*r.I > 0) candidates.push_back({0, *r.S / *r.I, residual(0, *r.S / *r.I, *r.I, *r.angle), farFromOthers(0, *r.S / *r.I)});
                if (*r.U > 0) candidates.push_back({1, *r.S / *r.U, residual(1, *r.U, *r.S / *r.U, *r.angle), farFromOthers(1, *r.S / *r.U)});
            }
            if (r.P && r.Q && std::hypot(*r.P, *r.Q) > 0) {
                const double angle = std::atan2(*r.Q, *r.P) * 180 / Pi;
                const double fit = std::abs(std::hypot(*r.P, *r.Q) - s) / (s + limits.misfitFloor);
                candidates.push_back({2, angle < 0 ? angle + 360 : angle,
                                      std::max(fit, residual(2, *r.U, *r.I, angle)), 0});
            }
            std::optional<std::pair<int, double>> culprit;  // the reading and what the others say
            const Candidate* chosen = nullptr;
            for (const Candidate& c : candidates) {
                if (c.residual > limits.misfitShare) continue;
                if (!chosen || c.residual + 0.02 < chosen->residual ||
                    (std::abs(c.residual - chosen->residual) <= 0.02 && c.far < chosen->far))
                    chosen = &c;
            }
            if (chosen) culprit = {chosen->q, chosen->expected};
            if (culprit) {
                const auto [q, expected] = *culprit;
                static const char* const from[] = {"S и I", "S и U", "P и Q", "U, I и φ", "U, I и φ", "U и I"};
                const std::string said = q == 0 ? volts(expected) : q == 1 ? amperes(expected)
                                         : q == 2 ? degrees(expected)
                                                  : power(expected, Quantities[q].unit);
                implausible(p, q, msg::otherReadingsSay(from[q], said));
            } else {
                add(Kind::Misfit, Severity::Note, p,
                    msg::misfit(phaseLetter(p), reading(bad->q, *bad->value),
                                std::string(bad->formula) + " = " + power(bad->expected, Quantities[bad->q].unit)),
                    -1, Quantities[bad->q].letter);
            }
        }
    if (std::any_of(verdict.findings.begin(), verdict.findings.end(),
                    [](const Finding& f) { return f.kind == Kind::Implausible || f.kind == Kind::Misfit; })) {
        add(Kind::Implausible, Severity::Note, -1, msg::NotJudged);
        return verdict;
    }

    // Voltages.
    double U[3] = {}, I[3] = {};
    bool hasU[3] = {}, hasI[3] = {};
    double largestU = -1;
    for (int p = 0; p < 3; ++p)
        if (at(p).U) U[p] = *at(p).U, hasU[p] = true, largestU = std::max(largestU, U[p]);
    if (largestU < 0) return verdict;  // no voltage reading at all: the missing lines say so
    if (largestU < limits.minVoltage) {
        add(Kind::NoVoltageAnywhere, Severity::Note, -1, msg::NoVoltageAnywhere);
        return verdict;
    }
    bool voltage[3] = {};
    for (int p = 0; p < 3; ++p) voltage[p] = hasU[p] && U[p] >= limits.lostVoltageShare * largestU;
    for (int p = 0; p < 3; ++p)
        if (hasU[p] && !voltage[p])
            add(Kind::NoVoltage, Severity::Fault, p,
                msg::noVoltage(phaseLetter(p), volts(U[p]), volts(othersMean(p, voltage, [&](int q) { return U[q]; }))));
    double meanU = 0;
    if (auto p = unbalanced(voltage, U, limits.voltageUnbalance, meanU))
        add(Kind::VoltageUnbalance, Severity::Note, *p, msg::unbalance(true, phaseLetter(*p), volts(U[*p]), volts(meanU)));

    // Currents.
    double largestI = -1;
    for (int p = 0; p < 3; ++p)
        if (at(p).I) I[p] = *at(p).I, hasI[p] = true, largestI = std::max(largestI, I[p]);
    if (largestI < 0) return verdict;
    if (largestI < limits.minLoadCurrent) {
        add(Kind::LowLoad, Severity::Note, -1, msg::lowLoad(amperes(largestI), amperes(limits.minLoadCurrent)));
        return verdict;
    }
    bool current[3] = {};
    for (int p = 0; p < 3; ++p) current[p] = hasI[p] && I[p] >= limits.lostCurrentShare * largestI;
    for (int p = 0; p < 3; ++p) {
        if (!hasI[p]) continue;
        if (!current[p]) {
            add(Kind::NoCurrent, Severity::Note, p,
                msg::noCurrent(phaseLetter(p), amperes(I[p]), amperes(othersMean(p, current, [&](int q) { return I[q]; }))));
            verdict.cannotTell.push_back(msg::idleOrOpen(phaseLetter(p)));
        } else if (I[p] < limits.minLoadCurrent) {
            add(Kind::SmallCurrent, Severity::Note, p,
                msg::smallCurrent(phaseLetter(p), amperes(I[p]), amperes(limits.minLoadCurrent)));
        }
    }
    double meanI = 0;
    if (auto p = unbalanced(current, I, limits.currentUnbalance, meanI))
        add(Kind::CurrentUnbalance, Severity::Note, *p,
            msg::unbalance(false, phaseLetter(*p), amperes(I[*p]), amperes(meanI)));

    // The angles of the inputs that have both a voltage and a current large enough to have a
    // meaningful angle.
    std::optional<double> angle[3];
    int judged = 0;
    for (int p = 0; p < 3; ++p)
        if (voltage[p] && current[p] && I[p] >= limits.minLoadCurrent && at(p).angle)
            angle[p] = normalizedAngle(*at(p).angle), ++judged;
    if (judged == 0) return verdict;
    for (int p = 0; p < 3; ++p)
        if (angle[p] && std::abs(std::abs(*angle[p]) - 90.0) <= limits.quadratureBand)
            verdict.cannotTell.push_back(msg::directionUnclear(phaseLetter(p), degrees(*angle[p])));

    // Every connection that can give these angles with healthy loads, cheapest first. Where the
    // correct one fits only those with one mistake matter (the list is sorted by mistakes).
    const bool correctFits = score(connections().front(), angle, hasU, U, site, limits).has_value();
    std::vector<Scored> fitting;
    fitting.reserve(correctFits ? 64 : connections().size());
    for (const Connection& c : connections()) {
        if (correctFits && mistakeCount(c) > 1) break;
        if (auto s = score(c, angle, hasU, U, site, limits)) fitting.push_back(*s);
    }
    std::stable_sort(fitting.begin(), fitting.end(), [](const Scored& a, const Scored& b) {
        if (std::abs(a.cost - b.cost) > 1e-9) return a.cost < b.cost;
        return a.connection->rank < b.connection->rank;
    });
    const auto& correct = connections().front();
    const auto own = std::find_if(fitting.begin(), fitting.end(), [&](const Scored& s) { return s.connection == &correct; });

    std::vector<std::string> told;  // the descriptions already given
    auto tell = [&](const Scored& s) {
        const std::string d = describe(s.connection->mistakes);
        if (std::find(told.begin(), told.end(), d) != told.end()) return false;
        told.push_back(d);
        return true;
    };
    // Alternatives whose loads lie at the sector's very edge (a pure capacitor) are not listed:
    // they come and go with a degree of noise and are no likelier than the loads named.
    auto clearOfEdge = [&](const Scored& s) {
        return std::all_of(s.loads.begin(), s.loads.end(), [&](const std::optional<double>& l) {
            return !l || std::abs(std::abs(normalizedAngle(*l)) - 90.0) > limits.quadratureBand;
        });
    };
    auto alsoFits = [&](const Scored& s) {
        if (verdict.cannotTell.size() < 8 && clearOfEdge(s) && tell(s))
            verdict.cannotTell.push_back(msg::sameReadings(describe(s.connection->mistakes), loadText(s.loads, s.spread)));
    };
    if (own != fitting.end()) {
        // No red line. Still, a connection with one mistake may give the same angles with loads
        // as alike as the phases' own (all currents moved on by one, under a load 120° away).
        for (const Scored& s : fitting)
            if (s.connection != &correct && mistakeCount(*s.connection) == 1 && s.spread <= own->spread + limits.equalFit)
                alsoFits(s);
    } else if (!fitting.empty()) {
        // The explanations worth naming: within nearFit of the cheapest, and none that a simpler
        // one (fewer inputs wrong) fits nearly as well as, or one as simple fits clearly better.
        const double best = fitting.front().cost;
        std::vector<const Scored*> plausible;
        for (const Scored& s : fitting)
            if (s.cost <= best + limits.nearFit) plausible.push_back(&s);
        auto dominated = [&](const Scored& x) {
            const int tx = x.connection->inputs;
            return std::any_of(plausible.begin(), plausible.end(), [&](const Scored* y) {
                const int ty = y->connection->inputs;
                return (ty < tx && y->cost <= x.cost + limits.equalFit) || (ty == tx && y->cost + limits.equalFit < x.cost);
            });
        };
        std::vector<const Scored*> named;
        for (const Scored* s : plausible)
            if (!dominated(*s)) named.push_back(s);
        // The simplest first; then the likelier kind of mistake; then the load nearer the usual
        // one of the site (they all fit within equalFit of each other).
        auto unusual = [&](const Scored* s) {
            double a[3];
            int n = 0;
            for (const auto& l : s->loads)
                if (l) a[n++] = *l;
            const double load = meanAngle(a, n);
            const double fromConsumption = std::abs(normalizedAngle(load - limits.usualLoadAngle));
            const double fromGeneration = std::abs(normalizedAngle(load - 180.0));
            return site == Site::Consumption ? fromConsumption
                   : site == Site::Generation ? fromGeneration
                                              : std::min(fromConsumption, fromGeneration);
        };
        std::stable_sort(named.begin(), named.end(), [&](const Scored* a, const Scored* b) {
            return std::tuple(a->connection->inputs, a->connection->rank, unusual(a)) <
                   std::tuple(b->connection->inputs, b->connection->rank, unusual(b));
        });
        named.erase(std::remove_if(named.begin(), named.end(), [&](const Scored* s) { return !tell(*s); }), named.end());
        if (named.size() > 6) named.resize(6);
        const Scored& first = *named.front();
        std::string angles;
        for (int p = 0; p < 3; ++p)
            if (angle[p]) angles += std::string(angles.empty() ? "" : ", ") + phaseLetter(p) + " " + degrees(*at(p).angle);
        Finding f{Kind::Wiring, Severity::Fault, -1, -1, 0, {}, {}};
        f.text = msg::wiringLine(capitalised(describe(first.connection->mistakes)), angles, loadText(first.loads, first.spread));
        for (size_t i = 1; i < named.size(); ++i)
            f.text += msg::orAlso(describe(named[i]->connection->mistakes),
                                  sameLoads(*named[i], first) ? "" : loadText(named[i]->loads, named[i]->spread));
        for (const Scored* s : named) f.explanations.push_back({s->connection->mistakes, s->loads, s->cost});
        const Mistake& m = first.connection->mistakes.front();
        f.phase = m.type == Mistake::Type::CurrentsRotated || m.type == Mistake::Type::VoltagesRotated ? -1 : m.phase;
        f.other = m.other;
        verdict.findings.push_back(std::move(f));
        for (const Scored* s : plausible) alsoFits(*s);
    }
    // Every phase's power the other way than the site was said to have it.
    if (site != Site::Both && judged >= 2) {
        bool allOther = true;
        for (int p = 0; p < 3; ++p)
            if (angle[p]) allOther = allOther && (site == Site::Consumption ? !consumes(*angle[p], limits)
                                                                            : !generates(*angle[p], limits));
        if (allOther) add(Kind::OtherDirection, Severity::Note, -1, msg::otherDirection(site == Site::Consumption));
    }
    if (site == Site::Both) verdict.cannotTell.push_back(msg::BothDirections);
    verdict.cannotTell.push_back(msg::SequenceNotMeasured);
    return verdict;
}

}  // namespace lumo::wiring
