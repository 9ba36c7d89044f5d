#pragma once
// The wiring check: what the 18 live readings (U, I, angle, P, Q, S of phases A, B and C) say
// about how the meter's voltage and current inputs are connected. A pure function of the
// readings and of where the site's power may flow, without Qt.
//
// The meter measures each input's angle against that input's own voltage (positive: the
// current lags). It does not measure the angles between the voltages, so the check takes the
// usual sequence A 0°, B -120°, C +120° for granted. It decides between explanations, not
// angles: a healthy installation whose every phase has a load angle of its own where the site
// can have one, against every way of connecting the inputs wrongly with up to three mistakes
// (a current or voltage reversed, two currents or two voltages swapped, all three moved on by
// one phase, a voltage input fed from another phase). A fault is named only where no healthy
// explanation fits; where several explanations fit as well as each other, all are named.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::wiring {

// Where the site's power may flow, which sets the load angles a healthy phase can have.
enum class Site {
    Consumption,  // every phase takes power: its angle within 90° of 0°
    Generation,   // every phase gives power to the network: within 90° of 180°
    Both,         // the site takes or gives, all its phases alike
};
// The site's name in the settings file: "Consumption", "Generation", "Both"; and back (any
// case), nothing for another text.
const char* siteName(Site site);
std::optional<Site> siteFromName(std::string_view name);

// The thresholds of the check, in one place; why each has its value is said beside it.
struct Limits {
    // --- Readings that cannot be real ---
    // The nominal phase voltage of the low-voltage networks the meter is made for, V, and the
    // factor beyond which a phase voltage cannot be real: no fault of a 230 V network puts
    // twice its voltage on a phase (a neutral lost gives at most the line voltage, 1.73×).
    double nominalVoltage = 230.0;
    double implausibleVoltageFactor = 2.0;
    // A current beyond this, A, is beyond every current input and clamp the meter takes: a
    // value garbled on the line (the protocol has no check sum; a flipped bit turns 0004,2 A
    // into 8004,2 A).
    double maxCurrent = 1000.0;
    // An angle beyond a turn either way, degrees: the meter sends 0° to 360°.
    double maxAngle = 360.0;
    // P, Q or S beyond this share of the largest U·I the meter can measure (the limits above)
    // are garbled values too; and nothing beyond the 8-character value field, 99 999 999.
    double fieldMax = 99999999.0;

    // --- Voltages ---
    // Below this on every phase, V: no voltage is applied at all (a live network never reads
    // a few volts), so nothing can be judged.
    double minVoltage = 20.0;
    // A phase below this share of the largest phase voltage has its voltage input open: a real
    // network's phases differ by per cents, a disconnected input reads a few volts picked up.
    double lostVoltageShare = 0.10;
    // Two inputs fed from one phase read the same voltage within the meter's error, this
    // share (two inputs of a class 0.5 meter differ by at most 1 %); readings further apart
    // come from two phases.
    double sameVoltageShare = 0.01;
    // Voltage unbalance (largest deviation from the mean, as a share of it) above which it is
    // noted: a supply's phases differ by a few per cent; more is a bad contact or a bad supply.
    double voltageUnbalance = 0.10;

    // --- Currents ---
    // Below this current on every phase, A, the load is too small to judge the current
    // circuits: 1 % of a 5 A current transformer's secondary, where the angle is noise. A
    // single phase below it has no angle worth judging.
    double minLoadCurrent = 0.05;
    // A phase below this share of the largest phase current carries no current while the
    // others do: an idle phase, or an open or shorted current circuit, which the readings
    // cannot tell apart.
    double lostCurrentShare = 0.05;
    // Current unbalance above which it is noted: half the mean means a phase nearly without
    // load (a site's own affair) or a current transformer of another ratio.
    double currentUnbalance = 0.50;

    // --- Angles: the explanations ---
    // Degrees beyond 90° that a healthy load angle may still reach: a capacitor bank is -89°
    // to -90° and the meter's angle is good to a degree or two, so -90,2° is still a load.
    double sectorMargin = 3.0;
    // An explanation's cost is the cost of its mistakes plus the cost of the spread of the
    // load angles it implies (the widest difference between two phases' loads). One
    // installation's phases mostly have load angles within some tens of degrees of each other,
    // so a connection that makes them alike is likelier than one that leaves them far apart.
    // A mistake costs this much:
    double mistakeCost = 60.0;
    // ... a voltage input on the wrong phase (or two swapped, or all moved on) a little more:
    // current circuits are rewired more often than voltage leads. Little more, because a
    // reversed current and a voltage input on the next phase differ by just 60° on one phase,
    // which loads of mixed kinds (a heater, a motor, LED drivers) hide.
    double voltageMistakeExtra = 5.0;
    // The spread costs this much a degree, up to mixedLoadCost: loads 10° apart are alike
    // (20), loads 50° or more apart are mixed (100) however far apart, since a site with a
    // motor on one phase and LED drivers on another is no rarer at 105° than at 60°. Two
    // mistakes that leave the loads alike (120 + 10) then beat one that needs them mixed
    // (60 + 100), while one mistake beats two whose loads are alike only by chance.
    double spreadCost = 2.0;
    double mixedLoadCost = 100.0;
    // Explanations within this much of the cheapest are named, unless a simpler one (fewer
    // inputs connected wrongly) costs at most equalFit more, or one as simple costs more than
    // equalFit less: the phases' own differences of a few degrees must not choose, and a
    // mistake on one input is likelier than three on three that happen to make loads alike.
    double nearFit = 60.0;
    double equalFit = 10.0;
    // Where explanations that fit alike are named in order, the one whose load lies nearer
    // this angle (a consuming site; 180° for a generating one) comes first: most consumers'
    // loads lag by 10° to 35° (a power factor of 0.8 to 0.98).
    double usualLoadAngle = 20.0;
    // A phase whose angle lies within this many degrees of ±90° (a nearly pure reactive load)
    // gives no clear direction of its current: P is close to zero either way.
    double quadratureBand = 10.0;

    // --- The meter's own values against each other ---
    // P against U·I·cos φ, Q against U·I·sin φ and S against U·I may differ by this share of
    // U·I: a tick may take a phase's readings from two measurements a second apart, during
    // which a load changes by some per cent; a garbled or misplaced value is off by far more.
    double misfitShare = 0.30;
    // ... and by this much, W, var, VA: the readings' last digits at a small load.
    double misfitFloor = 1.0;
};

inline constexpr Limits DefaultLimits{};

// One phase's readings; a reading that is missing ("нет", empty, no number) is empty.
struct PhaseReadings {
    std::optional<double> U, I, angle, P, Q, S;
};
using Readings = std::array<PhaseReadings, 3>;

// The 18 reading texts in parameter order (phase A's U, I, angle, P, Q, S, then B's, then C's),
// as the window shows them: the general number format with a decimal comma. Missing texts (a
// shorter list) count as missing readings; a negative U, I or S is no reading either.
Readings parseReadings(const std::vector<std::string>& texts);

// How a line weighs: a fault of the wiring (red in the window), or a note: why something was
// not judged, something the readings cannot tell, or readings that cannot be real.
enum class Severity { Fault, Note };

enum class Kind {
    NoVoltageAnywhere,  // note: no phase has voltage; nothing judged
    MissingReadings,    // note, phase: some of its readings are missing, it is judged on the rest
    Implausible,        // note, phase and quantity: a reading that cannot be real; nothing judged
    Misfit,             // note, phase: P, Q or S (`quantity`) does not fit U, I and the angle, and
                        // no single reading is to blame; nothing judged
    NoVoltage,          // fault, phase: its voltage input reads (nearly) nothing
    LowLoad,            // note: the currents are too small to judge the current circuits
    NoCurrent,          // note, phase: no current while the others carry load (idle, or an open
                        // or shorted current circuit)
    SmallCurrent,       // note, phase: too little current for its angle to be judged
    VoltageUnbalance,   // note, phase: the one farthest from the mean of the phase voltages
    CurrentUnbalance,   // note, phase: the one farthest from the mean of the phase currents
    Wiring,             // fault: the connection explains the angles only with mistakes (below)
    OtherDirection,     // note: every phase's power flows the other way than the site's setting
};

// One mistake in connecting the meter.
struct Mistake {
    enum class Type {
        Reversed,          // `phase`: its current or its voltage reversed (the readings cannot
                           // tell which); all three reversed count as one mistake
        CurrentsSwapped,   // `phase` and `other`: each input carries the other's current
        CurrentsRotated,   // every current input carries the next phase's current; `other`: the
                           // phase whose current input A carries
        VoltageFromPhase,  // `phase`'s voltage input is on phase `other`
        VoltagesSwapped,   // `phase` and `other`: each voltage input is on the other's phase
        VoltagesRotated,   // every voltage input is on another phase; `other`: the phase input
                           // A is on
    };
    Type type;
    int phase = -1;
    int other = -1;
    bool operator==(const Mistake&) const = default;
};

// A way the meter may be connected and the load angles it implies.
struct Explanation {
    std::vector<Mistake> mistakes;
    // The load angle each phase of the network has under this connection, where it is judged;
    // (-180, 180].
    std::array<std::optional<double>, 3> loads;
    double cost = 0;  // mistakes and spread (Limits::mistakeCost)
};

struct Finding {
    Kind kind;
    Severity severity = Severity::Note;
    int phase = -1;     // 0 A, 1 B, 2 C; -1 for findings about the whole circuit
    int other = -1;     // a second phase where the kind has one
    char quantity = 0;  // Implausible and Misfit: 'U', 'I', 'F' (the angle), 'P', 'Q' or 'S'
    std::string text;   // the line the operator reads
    // Wiring: the best explanation first, then those that fit as well (all named in the text).
    std::vector<Explanation> explanations;
};

// One line as the window shows it.
struct Line {
    Severity severity;
    std::string text;
};

struct Verdict {
    bool noData = false;  // not one of the readings is there
    Site site = Site::Consumption;
    std::vector<Finding> findings;
    // What the readings cannot tell apart for this result, one sentence each: explanations that
    // fit nearly as well as the one named, an idle phase against an open current circuit, the
    // direction of a nearly pure reactive current, the voltages' sequence.
    std::vector<std::string> cannotTell;
    // Bit n set: reading n (parameter number n + 1) cannot be real and was not used.
    std::uint32_t implausible = 0;

    // Anything but a clean bill: faults, notes, or reasons why the circuit was not judged.
    bool anyFinding() const { return !findings.empty(); }
    bool anyFault() const;
    // The lines the window shows, with their severity: the faults, then the notes, or the one
    // line saying that there are no readings or that nothing was found.
    std::vector<Line> shownLines() const;
    // The same lines' texts.
    std::vector<std::string> lines() const;
};

Verdict check(const Readings& readings, Site site = Site::Consumption, const Limits& limits = DefaultLimits);

// The phase's letter: 'A', 'B', 'C'.
char phaseLetter(int phase);

// An angle in degrees brought into (-180, 180].
double normalizedAngle(double degrees);

}  // namespace lumo::wiring
