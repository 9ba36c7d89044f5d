// The wiring check on the simulator's circuits, read through the meter's replies as the window
// gets them, and on hand-made readings for its lines and its limits.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <tuple>

#include "common/numtext.h"
#include "sim/meter_model.h"
#include "wiring/wiring_check.h"

using namespace lumo;
using namespace lumo::wiring;
using sim::Load;

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

// The first explanation the verdict's wiring line names, and whether it names `m` at all.
const Finding* wiringLine(const Verdict& v) {
    for (const Finding& f : v.findings)
        if (f.kind == Kind::Wiring) return &f;
    return nullptr;
}
bool names(const Verdict& v, std::vector<Mistake> m) {
    const Finding* f = wiringLine(v);
    if (!f) return false;
    auto key = [](const Mistake& x) { return std::tuple(static_cast<int>(x.type), x.phase, x.other); };
    auto sorted = [&](std::vector<Mistake> x) {
        std::sort(x.begin(), x.end(), [&](const Mistake& a, const Mistake& b) { return key(a) < key(b); });
        return x;
    };
    for (const Explanation& e : f->explanations)
        if (sorted(e.mistakes) == sorted(m)) return true;
    return false;
}

using T = Mistake::Type;

}  // namespace

// Correct circuits under every kind of load the simulator draws, on the sites that can have
// them: never a red line, however the phases' loads lie.
TEST(WiringCheck, CorrectCircuitsOfEveryKindGiveNoFaultLine) {
    const std::pair<Load, std::vector<Site>> kinds[] = {
        {Load::Normal, {Site::Consumption, Site::Both}},     {Load::Light, {Site::Consumption}},
        {Load::Heavy, {Site::Consumption}},                  {Load::Inductive, {Site::Consumption}},
        {Load::Capacitive, {Site::Consumption, Site::Both}}, {Load::Motor, {Site::Consumption, Site::Both}},
        {Load::Capacitor, {Site::Consumption}},              {Load::Mixed, {Site::Consumption}},
        {Load::Export, {Site::Generation, Site::Both}}};
    for (const auto& [load, sites] : kinds)
        for (Site site : sites)
            for (std::uint32_t seed = 1; seed <= 150; ++seed) {
                sim::MeterModel meter({.seed = seed, .wiring = sim::Wiring{.load = load}});
                for (int second = 0; second < 2; ++second) {
                    const Verdict v = check(parseReadings(liveTexts(meter)), site);
                    ASSERT_FALSE(v.anyFault()) << "load " << static_cast<int>(load) << " site " << siteName(site)
                                               << " seed " << seed << describe(v);
                }
            }
    // The simulator's usual readings are a correct circuit too.
    sim::MeterModel usual({});
    for (int second = 0; second < 50; ++second) EXPECT_FALSE(checked(liveTexts(usual)).anyFinding());
}

// Every mistake the simulator wires, on every phase, is named (among the explanations that fit
// alike) from the first second's readings on; two at once as well.
TEST(WiringCheck, NamesEverySimulatedMistake) {
    struct Case {
        std::string wiring;
        std::vector<Mistake> named;
    };
    std::vector<Case> cases = {{"rotated", {{T::CurrentsRotated, 0, 1}}},
                               {"reversed-a,swapped-bc", {{T::Reversed, 0, -1}, {T::CurrentsSwapped, 1, 2}}}};
    const std::string letters = "abc";
    for (int p = 0; p < 3; ++p) {
        const std::string x(1, letters[static_cast<size_t>(p)]);
        const int q = (p + 1) % 3;
        const std::string y(1, letters[static_cast<size_t>(q)]);
        cases.push_back({"reversed-" + x, {{T::Reversed, p, -1}}});
        cases.push_back({"voltage-reversed-" + x, {{T::Reversed, p, -1}}});
        cases.push_back({"swapped-" + x + y, {{T::CurrentsSwapped, std::min(p, q), std::max(p, q)}}});
        cases.push_back({"voltages-swapped-" + x + y, {{T::VoltagesSwapped, std::min(p, q), std::max(p, q)}}});
        for (int o = 0; o < 3; ++o)
            if (o != p)
                cases.push_back({"voltage-" + x + "-from-" + letters[static_cast<size_t>(o)], {{T::VoltageFromPhase, p, o}}});
    }
    // Loads alike at 20° on a consuming site, and at 180° on a plant.
    const std::pair<std::array<sim::PhaseLoad, 3>, Site> loads[] = {
        {{{{4.0, 20}, {3.6, 25}, {4.4, 15}}}, Site::Consumption}, {{{{4.0, 180}, {3.6, 175}, {4.4, 185}}}, Site::Generation}};
    for (const Case& c : cases)
        for (const auto& [phaseLoads, site] : loads)
            for (std::uint32_t seed = 1; seed <= 10; ++seed) {
                auto wiring = sim::wiringFromName(c.wiring);
                ASSERT_TRUE(wiring) << c.wiring;
                wiring->loads = phaseLoads;
                sim::MeterModel meter({.seed = seed, .wiring = wiring});
                for (int second = 1; second <= 2; ++second) {
                    const Verdict v = check(parseReadings(liveTexts(meter)), site);
                    EXPECT_TRUE(names(v, c.named)) << c.wiring << " " << siteName(site) << " seed " << seed << describe(v);
                }
            }
    // An open voltage input is a red line; an open current circuit reads as an idle phase.
    for (int p = 0; p < 3; ++p) {
        const std::string x(1, "abc"[p]);
        sim::MeterModel noVoltage({.wiring = sim::wiringFromName("no-voltage-" + x)});
        Verdict v = checked(liveTexts(noVoltage));
        ASSERT_EQ(v.findings.size(), 1u) << describe(v);
        EXPECT_EQ(v.findings[0].kind, Kind::NoVoltage);
        EXPECT_EQ(v.findings[0].phase, p);
        sim::MeterModel noCurrent({.wiring = sim::wiringFromName("no-current-" + x)});
        v = checked(liveTexts(noCurrent));
        EXPECT_FALSE(v.anyFault()) << describe(v);
        EXPECT_EQ(v.findings.at(0).kind, Kind::NoCurrent);
        EXPECT_EQ(v.findings.at(0).phase, p);
    }
}

// The simulator's other circuits: an idle phase, a plant, per-phase loads, a garbled reading.
TEST(WiringCheck, SimulatedIdlePhasesExportAndGarbledReadings) {
    auto wiring = sim::wiringFromName("correct");
    wiring->loads = sim::loadsFromText("5@0,3.1@65,0@0");
    sim::MeterModel idle({.wiring = wiring});
    const Readings r = parseReadings(liveTexts(idle));
    EXPECT_LT(*r[2].I, 0.01);
    EXPECT_NEAR(*r[1].angle, 65, 1.5);
    const Verdict v = check(r);
    EXPECT_FALSE(v.anyFault()) << describe(v);
    EXPECT_EQ(v.findings.at(0).kind, Kind::NoCurrent);

    // A plant: P negative on every phase; read as consumption it is told so.
    sim::MeterModel plant({.wiring = sim::Wiring{.load = Load::Export}});
    const Readings e = parseReadings(liveTexts(plant));
    for (const auto& phase : e) EXPECT_LT(*phase.P, 0);
    EXPECT_FALSE(check(e, Site::Generation).anyFinding());
    const Verdict asConsumer = check(e, Site::Consumption);
    EXPECT_TRUE(asConsumer.anyFault());
    EXPECT_EQ(asConsumer.findings.back().kind, Kind::OtherDirection);

    // A voltage input on another phase reads that phase's voltage.
    auto from = sim::wiringFromName("voltage-a-from-b");
    sim::MeterModel fromB({.wiring = from});
    const Readings f = parseReadings(liveTexts(fromB));
    EXPECT_NEAR(*f[0].U, *f[1].U, 0.01 * *f[1].U);

    // Phase A's voltage garbled once (a bit flipped on the line): named, nothing else judged;
    // the next second is judged as usual.
    sim::MeterConfig config{.seed = 3, .wiring = sim::Wiring{}};
    config.faults.push_back({.fault = sim::Fault::FlippedBit, .param = 1, .limit = 1});
    sim::MeterModel garbled(config);
    const std::vector<std::string> texts = liveTexts(garbled);
    EXPECT_GT(*parseDecimal(texts[0]), 8000);
    const Verdict g = checked(texts);
    ASSERT_EQ(g.findings.size(), 2u) << describe(g);
    EXPECT_EQ(g.findings[0].kind, Kind::Implausible);
    EXPECT_EQ(g.findings[0].quantity, 'U');
    EXPECT_EQ(g.implausible, 1u);
    EXPECT_FALSE(checked(liveTexts(garbled)).anyFinding());

    // Names the tool takes, and names it refuses.
    EXPECT_EQ(sim::wiringFromName("reversed-a,voltages-swapped-bc")->more.size(), 1u);
    for (const char* bad : {"", "reversed-", "reversed-d", "swapped-aa", "voltage-a-from-a", "reversed-a,", "rotated,x"})
        EXPECT_FALSE(sim::wiringFromName(bad)) << bad;
    EXPECT_FALSE(sim::loadsFromText("5@0,3@65"));
    EXPECT_FALSE(sim::loadsFromText("5@0,3@65,x@1"));
    EXPECT_EQ(sim::loadsFromText("5.5@0,3@65,0@-40")->at(0).current, 5.5);
}

TEST(WiringCheck, LinesNameThePhaseAndTheReason) {
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 200), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Фаза B: ток или напряжение в обратном направлении (углы A 20°, B 200°, C 22°; "
                                       "при нагрузке около 21°)"});
    // The meter's angles may come from -180° to 180° as well: -160° is the same as 200°.
    EXPECT_TRUE(names(checked(circuit(phase(225, 4, 20), phase(224, 4.2, -160), phase(226, 3.9, 22))),
                      {{T::Reversed, 1, -1}}));
    // A's and B's currents exchanged: 120° more on A, 120° less on B than C's 20°.
    EXPECT_EQ(checked(circuit(phase(225, 4, 140), phase(224, 4.2, 260), phase(226, 3.9, 20))).lines(),
              std::vector<std::string>{"Токи фаз A и B перепутаны местами (углы A 140°, B 260°, C 20°; при нагрузке около 20°)"});
    // A swap under a load of 70° reads as another pair under -50°: both are named, the usual
    // load first.
    EXPECT_EQ(checked(circuit(phase(225, 4, -50), phase(224, 4.2, 70), phase(226, 3.9, 190))).lines(),
              std::vector<std::string>{"Токи фаз A и C перепутаны местами (углы A -50°, B 70°, C 190°; при нагрузке около "
                                       "70°), или токи фаз B и C перепутаны местами при нагрузке около -50°"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(1.2, 4.2, 0), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Фаза B: нет напряжения (U = 1,2 В при 225,5 В на других фазах)"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 25), phase(226, 0.001, 0))).lines(),
              std::vector<std::string>{"Фаза C: нет тока (I = 0,001 А при 4,1 А на других фазах): фаза не нагружена, "
                                       "или цепь тока разомкнута или закорочена — по показаниям не различить"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 1.2, 25), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Сильная несимметрия токов: фаза B 1,2 А при среднем 3,03 А"});
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(180, 4.2, 25), phase(226, 3.9, 22))).lines(),
              std::vector<std::string>{"Сильная несимметрия напряжений: фаза B 180 В при среднем 210,3 В"});
    // Faults are red and shown first, notes after them.
    const Verdict v = checked(circuit(phase(225, 4, 20), phase(224, 4.2, 200), phase(226, 0.001, 0)));
    ASSERT_EQ(v.shownLines().size(), 2u);
    EXPECT_EQ(v.shownLines()[0].severity, Severity::Fault);
    EXPECT_EQ(v.shownLines()[1].severity, Severity::Note);
    EXPECT_EQ(v.findings[0].kind, Kind::NoCurrent);  // the findings keep the order of the check
    // What the readings cannot tell: the idle phase against an open circuit, the sequence.
    EXPECT_EQ(v.cannotTell.front(), "Фаза C: фаза без нагрузки, или цепь тока разомкнута или закорочена");
    EXPECT_EQ(siteFromName("generation"), Site::Generation);
    EXPECT_EQ(siteFromName("Both"), Site::Both);
    EXPECT_FALSE(siteFromName("Потребление"));
}

TEST(WiringCheck, ReadingsThatDoNotFitEachOther) {
    // The one reading the phase's others contradict is named, and nothing is judged.
    auto c = phase(226, 3.9, 22);
    c[3] = formatGeneral(*parseDecimal(c[3]) * 10);  // P with its point one place off
    EXPECT_EQ(checked(circuit(phase(225, 4, 20), phase(224, 4.2, 25), c)).lines(),
              (std::vector<std::string>{"Фаза C: невозможное показание P = 8172 Вт (по U, I и φ около 817 Вт), вероятно, "
                                        "искажено при передаче",
                                        "Подключение по показаниям этой секунды не проверялось"}));
    auto a = phase(225, 4, 20);
    a[5] = "500";  // S against U·I = 900
    Verdict v = checked(circuit(a, phase(224, 4.2, 25), phase(226, 3.9, 22)));
    ASSERT_EQ(v.findings.size(), 2u);
    EXPECT_EQ(v.findings[0].kind, Kind::Implausible);
    EXPECT_EQ(v.findings[0].phase, 0);
    EXPECT_EQ(v.findings[0].quantity, 'S');
    EXPECT_EQ(v.implausible, 1u << 5);
    // Two readings off: none alone to blame.
    a[3] = "2000";
    v = checked(circuit(a, phase(224, 4.2, 25), phase(226, 3.9, 22)));
    EXPECT_EQ(v.findings.at(0).kind, Kind::Misfit);
    EXPECT_FALSE(v.anyFault());
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
    EXPECT_EQ(lone(60).findings.size(), 2u);  // the two phases without current: notes
    EXPECT_FALSE(lone(60).anyFault());
    for (double angle : {200.0, 100.0}) {
        const Verdict v = lone(angle);
        const Finding* f = wiringLine(v);
        ASSERT_NE(f, nullptr) << angle;
        EXPECT_EQ(f->explanations.at(0).mistakes, (std::vector<Mistake>{{T::Reversed, 1, -1}})) << angle;
    }
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
