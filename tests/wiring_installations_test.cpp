// The wiring check against installations computed from phasors: the network's three voltages
// and its loads' currents, the meter's inputs connected to them rightly or wrongly, and the
// readings the meter would show (U, I, the angle from the input's voltage to its current,
// P, Q, S from V·I*). Each expected verdict was worked out by hand from the physics: which
// connections give the same readings with healthy loads, and how alike those loads are.
#include <gtest/gtest.h>

#include <complex>
#include <numbers>
#include <set>
#include <sstream>

#include "common/numtext.h"
#include "wiring/wiring_check.h"

using namespace lumo;
using namespace lumo::wiring;

namespace {

using Cx = std::complex<double>;
constexpr double Rad = std::numbers::pi / 180;
constexpr double Theta[3] = {0, -120, 120};

// The network: each phase's voltage, its load's current and the load angle (positive: the
// current lags; near 180°: the phase gives power to the network).
struct Net {
    double U[3];
    double I[3];
    double load[3];
};

// How the meter's inputs are connected: input k's voltage lead on phase v[k] (reversed, or
// open), its current from the transformer of phase i[k] (reversed, or open).
struct Meter {
    int v[3] = {0, 1, 2};
    int i[3] = {0, 1, 2};
    bool vReversed[3] = {}, iReversed[3] = {}, vOpen[3] = {}, iOpen[3] = {};
};

int phase(char letter) { return letter - 'A'; }

Meter correct() { return {}; }
Meter reversed(const char* phases, Meter m = {}) {
    for (const char* p = phases; *p; ++p) m.iReversed[phase(*p)] = true;
    return m;
}
Meter voltageReversed(char p, Meter m = {}) { return m.vReversed[phase(p)] = true, m; }
Meter swapped(const char* pair, Meter m = {}) {
    std::swap(m.i[phase(pair[0])], m.i[phase(pair[1])]);
    return m;
}
// Every current input carries the current of the phase after it (A gets `onA`'s).
Meter rotated(char onA, Meter m = {}) {
    for (int k = 0; k < 3; ++k) m.i[k] = (k + phase(onA)) % 3;
    return m;
}
Meter voltageRotated(char onA, Meter m = {}) {
    for (int k = 0; k < 3; ++k) m.v[k] = (k + phase(onA)) % 3;
    return m;
}
// Voltage input pair[0] on phase pair[1].
Meter voltageFrom(const char* pair, Meter m = {}) { return m.v[phase(pair[0])] = phase(pair[1]), m; }
Meter voltagesSwapped(const char* pair, Meter m = {}) {
    std::swap(m.v[phase(pair[0])], m.v[phase(pair[1])]);
    return m;
}
Meter voltageOpen(char p, Meter m = {}) { return m.vOpen[phase(p)] = true, m; }
Meter currentOpen(char p, Meter m = {}) { return m.iOpen[phase(p)] = true, m; }

// The 18 texts the meter's readings give, as the window shows them.
std::vector<std::string> readings(const Net& n, const Meter& m) {
    std::vector<std::string> t;
    for (int k = 0; k < 3; ++k) {
        const int vp = m.v[k], ip = m.i[k];
        Cx V = m.vOpen[k] ? std::polar(0.7, 0.0) : std::polar(n.U[vp], Theta[vp] * Rad) * (m.vReversed[k] ? -1.0 : 1.0);
        Cx I = m.iOpen[k] ? std::polar(0.002, 0.0)
                          : std::polar(n.I[ip], (Theta[ip] - n.load[ip]) * Rad) * (m.iReversed[k] ? -1.0 : 1.0);
        const Cx S = V * std::conj(I);
        double angle = std::arg(S) / Rad;
        if (angle < 0) angle += 360;  // the meter sends 0° to 360°
        for (double x : {std::abs(V), std::abs(I), angle, S.real(), S.imag(), std::abs(S)}) t.push_back(formatRounded(x, 3));
    }
    return t;
}

// Networks. Uniform: one kind of load on every phase, each phase a few degrees off, voltages
// a little apart (as a real network's are) unless `equalVoltages`.
Net uniform(double load, bool equalVoltages = false) {
    Net n{{230.4, 228.9, 231.7}, {4.1, 3.8, 4.4}, {load + 2, load - 3, load + 1}};
    if (equalVoltages) n.U[0] = n.U[1] = n.U[2] = 230;
    return n;
}
// A heater on A, a motor on B, LED drivers on C.
Net mixed(bool equalVoltages = false) {
    Net n{{230.4, 228.9, 231.7}, {5.2, 3.1, 1.8}, {0, 65, -40}};
    if (equalVoltages) n.U[0] = n.U[1] = n.U[2] = 230;
    return n;
}
Net with(Net n, int p, double U, double I, double load) {
    if (U >= 0) n.U[p] = U;
    if (I >= 0) n.I[p] = I;
    n.load[p] = load;
    return n;
}

// ---- The expected verdicts ----

// A mistake as the verdict names it, written "rev B", "swap AC", "rot B" (input A carries B's
// current), "vfrom AB" (voltage input A on phase B), "vswap AB", "vrot C"; several joined by
// " + " make one explanation, "rev AB" is two.
std::vector<Mistake> explanation(const std::string& text) {
    std::vector<Mistake> out;
    std::istringstream in(text);
    std::string word, arg;
    while (in >> word) {
        if (word == "+") continue;
        in >> arg;
        using T = Mistake::Type;
        if (word == "rev")
            for (char c : arg) out.push_back({T::Reversed, phase(c), -1});
        else if (word == "swap") out.push_back({T::CurrentsSwapped, phase(arg[0]), phase(arg[1])});
        else if (word == "rot") out.push_back({T::CurrentsRotated, 0, phase(arg[0])});
        else if (word == "vfrom") out.push_back({T::VoltageFromPhase, phase(arg[0]), phase(arg[1])});
        else if (word == "vswap") out.push_back({T::VoltagesSwapped, phase(arg[0]), phase(arg[1])});
        else if (word == "vrot") out.push_back({T::VoltagesRotated, 0, phase(arg[0])});
        else ADD_FAILURE() << "unknown mistake " << word;
    }
    auto key = [](const Mistake& m) { return std::tuple(static_cast<int>(m.type), m.phase, m.other); };
    std::sort(out.begin(), out.end(), [&](const Mistake& a, const Mistake& b) { return key(a) < key(b); });
    return out;
}

std::vector<std::string> split(const std::string& text, const std::string& by) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= text.size() && !text.empty()) {
        const size_t to = text.find(by, from);
        parts.push_back(text.substr(from, to == std::string::npos ? std::string::npos : to - from));
        if (to == std::string::npos) break;
        from = to + by.size();
    }
    return parts;
}

// A note or a fault other than the wiring: "idle C", "unbalance-I C", "unbalance-U B",
// "small C", "low-load", "no-voltage B", "other-direction", "missing B", "implausible U A",
// "misfit P C", "not-judged".
std::string noteName(const Finding& f) {
    const std::string p = f.phase >= 0 ? std::string(" ") + phaseLetter(f.phase) : "";
    switch (f.kind) {
        case Kind::NoCurrent: return "idle" + p;
        case Kind::CurrentUnbalance: return "unbalance-I" + p;
        case Kind::VoltageUnbalance: return "unbalance-U" + p;
        case Kind::SmallCurrent: return "small" + p;
        case Kind::LowLoad: return "low-load";
        case Kind::NoVoltage: return "no-voltage" + p;
        case Kind::NoVoltageAnywhere: return "no-voltage-anywhere";
        case Kind::OtherDirection: return "other-direction";
        case Kind::MissingReadings: return "missing" + p;
        case Kind::Implausible:
            return f.phase < 0 ? "not-judged" : "implausible " + std::string(1, f.quantity) + p;
        case Kind::Misfit: return "misfit " + std::string(1, f.quantity) + p;
        case Kind::Wiring: return "wiring";
    }
    return "?";
}

struct Case {
    std::string name;
    std::vector<std::string> texts;
    Site site;
    // The explanations the wiring line must name, " | " between them; the line names no other,
    // and the first it names is one of them. Empty: no wiring fault.
    std::string wiring;
    // Every other line, "; " between them.
    std::string notes;
};

std::string shown(const Verdict& v) {
    std::string s;
    for (const auto& line : v.shownLines()) s += std::string("\n  ") + (line.severity == Severity::Fault ? "[F] " : "[n] ") + line.text;
    return s;
}

void expectVerdict(const Case& c) {
    const Verdict v = check(parseReadings(c.texts), c.site);
    std::string costs;
    for (const Finding& f : v.findings)
        for (const Explanation& e : f.explanations) costs += " " + formatRounded(e.cost, 1);
    SCOPED_TRACE(c.name + shown(v) + "\n  costs" + costs);
    std::multiset<std::string> notes, expectedNotes;
    for (const auto& n : split(c.notes, "; ")) expectedNotes.insert(n);
    const Finding* wiring = nullptr;
    for (const Finding& f : v.findings) {
        if (f.kind == Kind::Wiring) {
            EXPECT_EQ(wiring, nullptr) << "two wiring lines";
            wiring = &f;
            EXPECT_EQ(f.severity, Severity::Fault);
        } else {
            notes.insert(noteName(f));
        }
    }
    EXPECT_EQ(notes, expectedNotes);
    if (c.wiring.empty()) {
        EXPECT_EQ(wiring, nullptr);
        return;
    }
    ASSERT_NE(wiring, nullptr);
    std::vector<std::vector<Mistake>> expected, named;
    for (const auto& e : split(c.wiring, " | ")) expected.push_back(explanation(e));
    for (const Explanation& e : wiring->explanations) {
        auto m = e.mistakes;
        auto key = [](const Mistake& x) { return std::tuple(static_cast<int>(x.type), x.phase, x.other); };
        std::sort(m.begin(), m.end(), [&](const Mistake& a, const Mistake& b) { return key(a) < key(b); });
        named.push_back(m);
    }
    ASSERT_FALSE(named.empty());
    EXPECT_NE(std::find(expected.begin(), expected.end(), named.front()), expected.end()) << "the first named";
    for (const auto& e : expected) EXPECT_NE(std::find(named.begin(), named.end(), e), named.end()) << "not named";
    for (const auto& n : named) EXPECT_NE(std::find(expected.begin(), expected.end(), n), expected.end()) << "named wrongly";
    // Faults are red.
    EXPECT_TRUE(v.anyFault());
}

std::vector<std::string> edited(std::vector<std::string> t, int reading, const std::string& text) {
    t[static_cast<size_t>(reading)] = text;
    return t;
}

constexpr Site Consumption = Site::Consumption, Generation = Site::Generation, Both = Site::Both;

}  // namespace

// Healthy installations: every phase's load where the site can have it, however unlike the
// phases' loads are. No red line.
TEST(WiringInstallations, HealthySitesOfEveryKind) {
    const Case cases[] = {
        {"ordinary load 20°", readings(uniform(20), correct()), Consumption, "", ""},
        {"motors at part load 70°", readings(uniform(70), correct()), Consumption, "", ""},
        {"idle transformer 86°", readings(uniform(86), correct()), Consumption, "", ""},
        {"LED drivers -40°", readings(uniform(-40), correct()), Consumption, "", ""},
        {"capacitor bank -89.5°", readings(uniform(-89.5), correct()), Consumption, "", ""},
        {"capacitor bank read at -90.2°", readings(Net{{230, 229, 231}, {3, 3, 3}, {-90.2, -90.2, -90.2}}, correct()),
         Consumption, "", ""},
        {"heater, motor, LED drivers", readings(mixed(), correct()), Consumption, "", "unbalance-I A"},
        {"heater, reactor, capacitors", readings(Net{{230, 229, 231}, {5, 2, 2}, {10, 85, -80}}, correct()),
         Consumption, "", "unbalance-I A"},
        {"plant exporting", readings(uniform(180), correct()), Generation, "", ""},
        {"plant exporting with reactive support", readings(uniform(160), correct()), Generation, "", ""},
        {"plant exporting, taking reactive power", readings(uniform(205), correct()), Generation, "", ""},
        {"plant, phases unlike", readings(Net{{230, 229, 231}, {5, 4, 6}, {150, 200, 180}}, correct()), Generation, "",
         ""},
        {"site of both kinds, taking", readings(uniform(20), correct()), Both, "", ""},
        {"site of both kinds, giving", readings(uniform(180), correct()), Both, "", ""},
        {"site of both kinds, giving reactive", readings(uniform(100), correct()), Both, "", ""},
        {"single-phase load on A", readings(with(with(uniform(20), 1, -1, 0.004, 0), 2, -1, 0, 0), correct()),
         Consumption, "", "idle B; idle C"},
        {"single-phase load on B", readings(with(with(uniform(30), 0, -1, 0.003, 0), 2, -1, 0.001, 0), correct()),
         Consumption, "", "idle A; idle C"},
        {"one phase at 30 %", readings(with(uniform(20), 2, -1, 1.2, 25), correct()), Consumption, "",
         "unbalance-I C"},
        {"light load", readings(with(with(with(uniform(20), 0, -1, 0.3, 15), 1, -1, 0.25, 25), 2, -1, 0.4, 10), correct()),
         Consumption, "", ""},
        {"no load at all", readings(with(with(with(uniform(20), 0, -1, 0.02, 15), 1, -1, 0.01, 25), 2, -1, 0.03, 10), correct()),
         Consumption, "", "low-load"},
        {"a sagging phase", readings(with(uniform(20), 1, 180, -1, 17), correct()), Consumption, "", "unbalance-U B"},
        // Wrong, but the readings are those of a healthy load: the check cannot tell.
        {"heater, motor, LED drivers with B and C swapped (B 80°, C -55° are loads too)",
         readings(mixed(), swapped("BC")), Consumption, "", "unbalance-I A"},
        {"motors, voltage A on B (A reads -48°, a load)", readings(uniform(70, true), voltageFrom("AB")), Consumption, "",
         ""},
        {"capacitor bank with C reversed (reads 90.5°, a reactor)", readings(uniform(-89.5), reversed("C")), Consumption,
         "", ""},
        {"an open current circuit looks like an idle phase", readings(uniform(20), currentOpen('C')), Consumption, "",
         "idle C"},
        {"angle of B missing: judged on the rest", edited(readings(uniform(20), correct()), 8, "нет"), Consumption, "",
         "missing B"},
    };
    for (const Case& c : cases) expectVerdict(c);
}

// One mistake under loads alike: named with its phases, and with every other connection that
// gives the same readings with loads as alike.
TEST(WiringInstallations, OneMistakeUnderOneKindOfLoad) {
    const Case cases[] = {
        {"A reversed", readings(uniform(20), reversed("A")), Consumption, "rev A", ""},
        {"B reversed", readings(uniform(20), reversed("B")), Consumption, "rev B", ""},
        {"C reversed", readings(uniform(20), reversed("C")), Consumption, "rev C", ""},
        {"B reversed under motors", readings(uniform(70), reversed("B")), Consumption, "rev B", ""},
        {"B reversed under LED drivers", readings(uniform(-40), reversed("B")), Consumption, "rev B", ""},
        {"A reversed under an idle transformer", readings(uniform(80), reversed("A")), Consumption, "rev A", ""},
        {"voltage B reversed: the same readings", readings(uniform(20), voltageReversed('B')), Consumption, "rev B", ""},
        {"A and B swapped", readings(uniform(20), swapped("AB")), Consumption, "swap AB", ""},
        {"B and C swapped", readings(uniform(20), swapped("BC")), Consumption, "swap BC", ""},
        {"A and C swapped", readings(uniform(20), swapped("AC")), Consumption, "swap AC", ""},
        // A swap at load L gives the readings of AB at L + 120° and of BC at L - 120°.
        {"A and C swapped under motors (or B and C at -50°)", readings(uniform(70), swapped("AC")), Consumption,
         "swap AC | swap BC", ""},
        {"A and B swapped under motors (or A and C at -50°)", readings(uniform(70), swapped("AB")), Consumption,
         "swap AB | swap AC", ""},
        {"B and C swapped under motors (or A and B at -50°)", readings(uniform(70), swapped("BC")), Consumption,
         "swap BC | swap AB", ""},
        {"A and C swapped under LED drivers (or A and B at 80°)", readings(uniform(-40), swapped("AC")), Consumption,
         "swap AC | swap AB", ""},
        // All currents moved on: the same as the voltages moved the other way, or as all three
        // reversed under a load 60° away; every phase gives power.
        {"currents moved on (A carries B)", readings(uniform(20), rotated('B')), Consumption, "rot B | vrot C | rev ABC",
         "other-direction"},
        {"currents moved back (A carries C)", readings(uniform(20), rotated('C')), Consumption, "rot C | vrot B | rev ABC",
         "other-direction"},
        {"voltages moved on (A on C)", readings(uniform(20), voltageRotated('C')), Consumption, "rot B | vrot C | rev ABC",
         "other-direction"},
        {"currents moved on under motors: three loads fit", readings(uniform(70), rotated('B')), Consumption,
         "rot B | rot C | rev ABC | vrot C | vrot B", "other-direction"},
        {"voltage A on B", readings(uniform(20), voltageFrom("AB")), Consumption, "vfrom AB", ""},
        {"voltage A on C", readings(uniform(20), voltageFrom("AC")), Consumption, "vfrom AC", ""},
        {"voltage B on A", readings(uniform(20), voltageFrom("BA")), Consumption, "vfrom BA", ""},
        {"voltage B on C", readings(uniform(20), voltageFrom("BC")), Consumption, "vfrom BC", ""},
        {"voltage C on A", readings(uniform(20), voltageFrom("CA")), Consumption, "vfrom CA", ""},
        {"voltage C on B", readings(uniform(20), voltageFrom("CB")), Consumption, "vfrom CB", ""},
        {"voltage A on C under motors", readings(uniform(70), voltageFrom("AC")), Consumption, "vfrom AC", ""},
        {"voltages A and B swapped", readings(uniform(20), voltagesSwapped("AB")), Consumption, "vswap AB", ""},
        {"voltages B and C swapped", readings(uniform(20), voltagesSwapped("BC")), Consumption, "vswap BC", ""},
        {"voltages A and C swapped", readings(uniform(20), voltagesSwapped("AC")), Consumption, "vswap AC", ""},
        {"voltage input B open", readings(uniform(20), voltageOpen('B')), Consumption, "", "no-voltage B"},
        {"all three reversed at a consuming site", readings(uniform(20), reversed("ABC")), Consumption,
         "rev ABC | rot B | rot C | vrot C | vrot B", "other-direction"},
    };
    for (const Case& c : cases) expectVerdict(c);
}

// Sites that give power, and sites that may do either.
TEST(WiringInstallations, GenerationAndSitesOfBothKinds) {
    const Case cases[] = {
        {"plant, B reversed", readings(uniform(180), reversed("B")), Generation, "rev B", ""},
        {"plant with reactive support, A reversed", readings(uniform(160), reversed("A")), Generation, "rev A", ""},
        {"plant, A and C swapped", readings(uniform(180), swapped("AC")), Generation, "swap AC", ""},
        {"plant, voltage A on B", readings(uniform(180), voltageFrom("AB")), Generation, "vfrom AB", ""},
        {"plant, A and B reversed", readings(uniform(180), reversed("AB")), Generation, "rev AB", ""},
        {"plant set as a consuming site", readings(uniform(180), correct()), Consumption,
         "rev ABC | rot B | rot C | vrot C | vrot B", "other-direction"},
        {"consuming site set as a plant", readings(uniform(20), correct()), Generation,
         "rev ABC | rot B | rot C | vrot C | vrot B", "other-direction"},
        {"both kinds: taking, B reversed", readings(uniform(20), reversed("B")), Both, "rev B", ""},
        {"both kinds: giving, B reversed", readings(uniform(180), reversed("B")), Both, "rev B", ""},
        // A and C swapped at -50° reads as A and B at 70° or B and C at 190°: all three fit.
        {"both kinds: A and C swapped at -50°", readings(uniform(-50), swapped("AC")), Both,
         "swap AC | swap AB | swap BC", ""},
        {"both kinds: voltage C on A", readings(uniform(20), voltageFrom("CA")), Both, "vfrom CA", ""},
    };
    for (const Case& c : cases) expectVerdict(c);
}

// Phases with loads of different kinds: one mistake, where the loads' spread no longer tells
// much. What fits as well is named too; voltages that differ rule out two inputs on one phase.
TEST(WiringInstallations, OneMistakeUnderMixedLoads) {
    const Case cases[] = {
        // A's angle of 180° is also input A on phase B (A's load -60°) or on C (60°), voltages
        // within 1 % of each other; or voltages A and C swapped (loads 60°, 65°, 80°), or A and
        // B (-60°, -55°, -40°): loads alike, two inputs wrong.
        {"mixed, A reversed", readings(mixed(), reversed("A")), Consumption,
         "rev A | vfrom AB | vfrom AC | vswap AC | vswap AB", "unbalance-I A"},
        {"mixed, B reversed", readings(mixed(), reversed("B")), Consumption, "rev B", "unbalance-I A"},
        {"mixed, C reversed", readings(mixed(), reversed("C")), Consumption, "rev C", "unbalance-I A"},
        // With equal voltages B's input on phase C gives B's angle with a load of 5°.
        {"mixed, equal voltages, B reversed", readings(mixed(true), reversed("B")), Consumption, "rev B | vfrom BC", "unbalance-I A"},
        // Also voltages A and C swapped with C reversed, under loads 80°, 65°, 60°.
        {"mixed, A and C swapped", readings(mixed(), swapped("AC")), Consumption, "swap AC | vswap AC + rev C",
         "unbalance-I C"},
        {"mixed, A and B swapped", readings(mixed(), swapped("AB")), Consumption, "swap AB | vswap AB + rev B",
         "unbalance-I B"},
        // Input A reversed with a load of 60° there gives the same.
        {"mixed, equal voltages, voltage A on B", readings(mixed(true), voltageFrom("AB")), Consumption,
         "vfrom AB | rev A", "unbalance-I A"},
        {"mixed, B's voltage open", readings(mixed(), voltageOpen('B')), Consumption, "", "no-voltage B; unbalance-I A"},
    };
    for (const Case& c : cases) expectVerdict(c);
}

// Two mistakes at once.
TEST(WiringInstallations, PairsOfMistakes) {
    const Case cases[] = {
        {"A and B reversed", readings(uniform(20), reversed("AB")), Consumption, "rev AB", ""},
        {"A and C reversed", readings(uniform(20), reversed("AC")), Consumption, "rev AC", ""},
        {"B and C reversed under motors", readings(uniform(70), reversed("BC")), Consumption, "rev BC", ""},
        {"A and B swapped, C reversed", readings(uniform(20), reversed("C", swapped("AB"))), Consumption,
         "swap AB + rev C", "other-direction"},
        {"B and C swapped, A reversed", readings(uniform(20), reversed("A", swapped("BC"))), Consumption,
         "swap BC + rev A", "other-direction"},
        {"voltage A on B, C reversed", readings(uniform(20), reversed("C", voltageFrom("AB"))), Consumption,
         "vfrom AB + rev C", ""},
        {"voltages A and B swapped, C reversed", readings(uniform(20), reversed("C", voltagesSwapped("AB"))),
         Consumption, "vswap AB + rev C", "other-direction"},
        {"B reversed, C's current circuit open", readings(uniform(20), currentOpen('C', reversed("B"))), Consumption,
         "rev B", "idle C"},
        {"A and B swapped, C's current circuit open", readings(uniform(20), currentOpen('C', swapped("AB"))),
         Consumption, "swap AB", "idle C; other-direction"},
        {"B reversed, A's voltage open", readings(uniform(20), voltageOpen('A', reversed("B"))), Consumption, "rev B",
         "no-voltage A"},
        {"plant, A and C swapped, B reversed", readings(uniform(180), reversed("B", swapped("AC"))), Generation,
         "swap AC + rev B", "other-direction"},
    };
    for (const Case& c : cases) expectVerdict(c);
}

// Readings that cannot be real are named as such and nothing else is judged: a flipped bit on
// the line (the protocol has no check sum), a value beyond what the meter measures.
TEST(WiringInstallations, ReadingsThatCannotBeReal) {
    const auto good = readings(uniform(20), correct());
    const Case cases[] = {
        {"U of A read as 8230,5 V", edited(good, 0, "8230,5"), Consumption, "", "implausible U A; not-judged"},
        {"P of B at 3.4E38", edited(good, 9, "3,4E38"), Consumption, "", "implausible P B; not-judged"},
        {"P of A and C at ±3.4E38", edited(edited(good, 3, "-3,4E38"), 15, "3,4E38"), Consumption, "",
         "implausible P A; implausible P C; not-judged"},
        {"angle of C beyond a turn", edited(good, 14, "400"), Consumption, "", "implausible F C; not-judged"},
        {"I of B at 5000 A", edited(good, 7, "5000"), Consumption, "", "implausible I B; not-judged"},
        // Within the meter's ranges, but the phase's other readings say otherwise.
        {"I of B read as 104,2 A", edited(good, 7, "104,2"), Consumption, "", "implausible I B; not-judged"},
        {"U of B read as 328,9 V", edited(good, 6, "328,9"), Consumption, "", "implausible U B; not-judged"},
        {"angle of C read as 61°", edited(good, 14, "61"), Consumption, "", "implausible F C; not-judged"},
        {"P of A read as 8884 W", edited(good, 3, "8884"), Consumption, "", "implausible P A; not-judged"},
        {"P and Q of A both garbled", edited(edited(good, 3, "8884"), 4, "-900"), Consumption, "",
         "misfit P A; not-judged"},
    };
    for (const Case& c : cases) expectVerdict(c);
    // The garbled readings are marked, so that nothing else uses them (the trend's axis).
    EXPECT_EQ(check(parseReadings(edited(good, 0, "8230,5"))).implausible, 1u << 0);
    EXPECT_EQ(check(parseReadings(edited(good, 7, "104,2"))).implausible, 1u << 7);
}
