#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

#include "common/numtext.h"
#include "sim/meter_model.h"
#include "wiring/wiring_check.h"

using namespace lumo;
using namespace lumo::wiring;
using sim::Load;
using sim::WiringFault;

namespace {

// One live job against the simulated meter: the 18 readings as the live worker stores them
// and the window shows them (the value field with a comma, in the general number format).
std::vector<std::string> liveTexts(sim::MeterModel& meter) {
    std::vector<std::string> texts;
    for (int n = 1; n <= 18; ++n) {
        const auto reply = meter.answer({'D', static_cast<std::uint16_t>(n), 0});
        std::string field(reply.begin() + 6, reply.begin() + 14);
        field[field.find('.')] = ',';
        texts.push_back(formatGeneral(*parseDecimal(field)));
    }
    return texts;
}

// A phase's six texts with P, Q and S that fit U, I and the angle.
std::vector<std::string> phase(double u, double i, double angle) {
    const double s = u * i, a = angle * std::numbers::pi / 180;
    std::vector<std::string> t;
    for (double v : {u, i, angle, s * std::cos(a), s * std::sin(a), s}) t.push_back(formatRounded(v, 3));
    return t;
}

std::vector<std::string> circuit(std::vector<std::string> a, const std::vector<std::string>& b,
                                 const std::vector<std::string>& c) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

Verdict checked(const std::vector<std::string>& texts) { return check(parseReadings(texts)); }

std::string describe(const Verdict& v) {
    std::string s;
    for (const auto& line : v.lines()) s += "\n  " + line;
    return s;
}

constexpr Load Loads[] = {Load::Normal, Load::Light, Load::Heavy, Load::Inductive, Load::Capacitive};

}  // namespace

// Every fault the simulator wires is named with its phase (and no other line) from the first
// second's readings on, under every load, for many draws of the load.
TEST(WiringCheck, NamesEverySimulatedFaultWithItsPhaseUnderEveryLoad) {
    struct Case {
        WiringFault fault;
        Kind kind;
        int phase, other;
    };
    std::vector<Case> cases;
    for (int p = 0; p < 3; ++p) {
        cases.push_back({WiringFault::ReversedCurrent, Kind::Reversed, p, -1});
        cases.push_back({WiringFault::NoVoltage, Kind::NoVoltage, p, -1});
        cases.push_back({WiringFault::NoCurrent, Kind::NoCurrent, p, -1});
        cases.push_back({WiringFault::SwappedCurrents, Kind::Swapped, p, (p + 1) % 3});
    }
    for (const Case& c : cases)
        for (Load load : Loads)
            for (std::uint32_t seed = 1; seed <= 25; ++seed) {
                sim::MeterModel meter({.seed = seed,
                                       .wiring = sim::Wiring{.fault = c.fault, .phase = c.phase,
                                                             .other = std::max(c.other, 0), .load = load}});
                for (int second = 1; second <= 2; ++second) {
                    const Verdict v = checked(liveTexts(meter));
                    const std::string where = "fault " + std::to_string(static_cast<int>(c.fault)) + " phase " +
                                              std::to_string(c.phase) + " load " + std::to_string(static_cast<int>(load)) +
                                              " seed " + std::to_string(seed) + describe(v);
                    ASSERT_EQ(v.findings.size(), 1u) << where;
                    const Finding& f = v.findings[0];
                    EXPECT_EQ(f.kind, c.kind) << where;
                    EXPECT_EQ(std::set({f.phase, f.other}), std::set({c.phase, c.other})) << where;
                    // The line names the phase by its letter.
                    EXPECT_NE(f.text.find(phaseLetter(c.phase)), std::string::npos) << where;
                }
            }
}

// A correct circuit gives no fault line, whatever the load: many random loads, no false alarm.
TEST(WiringCheck, CorrectCircuitsUnderRandomLoadsGiveNoFaultLine) {
    for (Load load : Loads)
        for (std::uint32_t seed = 1; seed <= 250; ++seed) {
            sim::MeterModel meter({.seed = seed, .wiring = sim::Wiring{.load = load}});
            for (int second = 0; second < 3; ++second) {
                const Verdict v = checked(liveTexts(meter));
                ASSERT_EQ(v.lines(), std::vector<std::string>{"Ошибок подключения не найдено"})
                    << "load " << static_cast<int>(load) << " seed " << seed;
            }
        }
    // The simulator's usual readings are a correct circuit too.
    sim::MeterModel usual({});
    for (int second = 0; second < 50; ++second) EXPECT_FALSE(checked(liveTexts(usual)).anyFinding());
}

TEST(WiringCheck, LinesNameThePhaseAndTheReason) {
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 200), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Фаза B: ток в обратном направлении (угол 200°, P = -884 Вт)"});
    // The meter's angles may come from -180° to 180° as well: -160° is the same as 200°.
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, -160), phase(226, 3.9, 22))).findings.at(0).kind,
              Kind::Reversed);
    // A's and B's currents exchanged: 120° more on A, 120° less on B than C's 20°.
    EXPECT_EQ(checked(circuit(phase(225, 4, 140), phase(224, 4.2, 260), phase(226, 3.9, 20))).lines(),
              std::vector<std::string>{"Фазы A и B: токи перепутаны местами (углы 140° и 260°)"});
    // All three currents moved on by one phase.
    EXPECT_EQ(checked(circuit(phase(225, 4, 140), phase(224, 4.2, 140), phase(226, 3.9, 140))).lines(),
              (std::vector<std::string>{"Фаза A: ток фазы B (угол 140° вместо около 20°)",
                                        "Фаза B: ток фазы C (угол 140° вместо около 20°)",
                                        "Фаза C: ток фазы A (угол 140° вместо около 20°)"}));
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(1.2, 4.2, 0), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Фаза B: нет напряжения (U = 1,2 В при 225,5 В на других фазах)"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 25), phase(226, 0.001, 0))).lines(),
              std::vector<std::string>{"Фаза C: нет тока (I = 0,001 А при 4,1 А на других фазах)"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 1.2, 25), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Сильная несимметрия токов: фаза B 1,2 А при среднем 3,03 А"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(180, 4.2, 25), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Сильная несимметрия напряжений: фаза B 180 В при среднем 210,3 В"});
}

TEST(WiringCheck, ReadingsThatDoNotFitEachOther) {
    auto c = phase(226, 3.9, 22);
    c[3] = formatGeneral(*parseDecimal(c[3]) * 10);  // P with its point one place off
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 25), c)).lines(),
              std::vector<std::string>{"Фаза C: показания не согласуются: P = 8172 Вт, а U·I·cos φ = 817 Вт"});
    auto a = phase(225, 4, 20);
    a[5] = "500";  // S against U·I = 900
    const Verdict v = checked(circuit(a, phase(224, 4.2, 25), phase(226, 3.9, 22)));
    ASSERT_EQ(v.findings.size(), 1u);
    EXPECT_EQ(v.findings[0].kind, Kind::Misfit);
    EXPECT_EQ(v.findings[0].phase, 0);
    EXPECT_EQ(v.findings[0].quantity, 'S');
    // A tick that takes a phase's readings from two measurements (the current 10 % up) fits.
    auto torn = phase(224, 4.2, 25);
    torn[1] = "4,62";
    EXPECT_FALSE(checked(circuit(phase(225, 4, 20), torn, phase(226, 3.9, 22))).anyFinding());
}

// Where the readings cannot carry a verdict the check says so instead of guessing.
TEST(WiringCheck, SaysWhenItCannotJudge) {
    const std::vector<std::string> none(18, "нет");
    EXPECT_TRUE(checked(none).noData);
    EXPECT_EQ(checked(none).lines(), std::vector<std::string>{"нет данных"});
    EXPECT_TRUE(checked({}).noData);
    EXPECT_TRUE(checked(std::vector<std::string>(18, "")).noData);

    EXPECT_EQ(checked(circuit(phase(225, 0.01, 200), phase(224, 0.02, 80), phase(226, 0.0, 0))).lines(),
              std::vector<std::string>{
                  "Ток слишком мал для проверки токовых цепей (наибольший 0,02 А, нужно не меньше 0,05 А)"});
    EXPECT_EQ(checked(circuit(phase(0.5, 4, 20), phase(0.2, 4.2, 200), phase(0, 3.9, 22))).lines(),
              std::vector<std::string>{"Нет напряжения ни на одной фазе: подключение не проверено"});

    // A missing angle leaves that phase's current unjudged; the others are judged alone.
    auto b = phase(224, 4.2, 200);
    b[2] = "нет";
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), b, phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Фаза B: нет показаний угол, фаза проверена не полностью"});
    // One phase left to judge: reversed only when its angle lies between 90° and 270°.
    auto lone = [](double angle) {
        return checked(circuit(phase(225, 0.001, 0), phase(224, 4.2, angle), phase(226, 0.001, 0)));
    };
    EXPECT_EQ(lone(60).findings.size(), 2u);  // the two phases without current
    EXPECT_EQ(lone(200).findings.back().kind, Kind::Reversed);
    EXPECT_EQ(lone(100).findings.back().kind, Kind::Reversed);
    EXPECT_EQ(lone(-60).findings.size(), 2u);
}

TEST(WiringCheck, HostileTextsAreMissingReadingsNotCrashes) {
    std::vector<std::string> texts = circuit(phase(225, 4, 20), phase(224, 4.2, 25), phase(226, 3.9, 22));
    texts[0] = "-230";          // a negative voltage is no reading
    texts[2] = "1E300";         // an angle far beyond a turn
    texts[7] = "4.2";           // a point instead of a comma
    texts[9] = "1,79769E308";   // P at the edge of a double
    texts[13] = "\xD0\xBD\xD0"; // broken UTF-8
    texts.resize(17);           // no S of phase C
    const Verdict v = checked(texts);
    EXPECT_FALSE(v.noData);
    std::set<int> missing;
    for (const auto& f : v.findings)
        if (f.kind == Kind::MissingReadings) missing.insert(f.phase);
    EXPECT_EQ(missing, (std::set<int>{0, 1, 2}));
    for (const auto& line : v.lines()) EXPECT_FALSE(line.empty());
}
