#pragma once
// The wiring check: what the 18 live readings (U, I, angle, P, Q, S of phases A, B and C) say
// about how the meter's voltage and current inputs are connected. A pure function of the
// readings, without Qt: no voltage or no current on a phase, a reversed current, the current
// of another phase, strong unbalance, readings that do not fit each other, or too little load
// to judge.
//
// The meter measures each phase's angle against that phase's own voltage (positive: the
// current lags). It does not measure the angles between the voltages, so the check takes the
// usual sequence A 0°, B -120°, C +120° for granted and judges the currents against it.

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace lumo::wiring {

// The thresholds of the check, in one place; why each has its value is said beside it.
struct Limits {
    // Below this on every phase, V: no voltage is applied at all (a live network never reads
    // a few volts), so nothing can be judged.
    double minVoltage = 20.0;
    // A phase below this share of the largest phase voltage has its voltage input open: a real
    // network's phases differ by per cents, a disconnected input reads a few volts picked up.
    double lostVoltageShare = 0.10;
    // Below this current on every phase, A, the load is too small to judge the current
    // circuits: 1 % of a 5 A current transformer's secondary, where the angle is noise.
    double minLoadCurrent = 0.05;
    // A phase below this share of the largest phase current carries no current while the
    // others do: an open or shorted current circuit (a real consumer's phases differ by less
    // than twenty times).
    double lostCurrentShare = 0.05;
    // Degrees a phase's angle may lie from the others' load angle and still be its own current:
    // one consumer's phases differ by some tens of degrees, while the nearest wiring fault (the
    // reversed current of another phase) moves a current by 60°.
    double ownAngleTolerance = 50.0;
    // The largest angle of a load, degrees: a load takes power, so its current lies within
    // 90° of its voltage; beyond it the current is reversed or belongs to another phase.
    double maxLoadAngle = 90.0;
    // Voltage unbalance (largest deviation from the mean, as a share of it) above which it is
    // reported: a supply's phases differ by a few per cent; more is a bad contact on an input.
    double voltageUnbalance = 0.10;
    // Current unbalance above which it is reported: half the mean means a phase nearly
    // without load or a current transformer of another ratio.
    double currentUnbalance = 0.50;
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

enum class Kind {
    NoVoltageAnywhere,  // no phase has voltage: nothing judged
    MissingReadings,    // phase: some of its readings are missing, it is judged on the rest
    NoVoltage,          // phase: its voltage input reads (nearly) nothing
    LowLoad,            // the currents are too small to judge the current circuits
    NoCurrent,          // phase: no current while the others carry load
    Reversed,           // phase: its current flows the wrong way (about 180° off)
    Swapped,            // phase and other: each carries the other's current
    OtherPhase,         // phase: carries the current of phase `other` (about 120° off)
    OtherPhaseReversed, // phase: carries the current of phase `other`, reversed (about 60° off)
    VoltageUnbalance,   // phase: the one farthest from the mean of the phase voltages
    CurrentUnbalance,   // phase: the one farthest from the mean of the phase currents
    Misfit,             // phase: P, Q or S (`quantity`) does not fit U, I and the angle
};

struct Finding {
    Kind kind;
    int phase = -1;   // 0 A, 1 B, 2 C; -1 for findings about the whole circuit
    int other = -1;   // the other phase of Swapped, OtherPhase and OtherPhaseReversed
    char quantity = 0;  // Misfit: 'P', 'Q' or 'S'
    std::string text;   // the line the operator reads
};

struct Verdict {
    bool noData = false;  // not one of the readings is there
    std::vector<Finding> findings;
    // True when the findings are wiring faults or reasons why the circuit was not judged,
    // that is, anything but a clean bill.
    bool anyFinding() const { return !findings.empty(); }
    // The lines to show: the findings, or the line saying that nothing was found.
    std::vector<std::string> lines() const;
};

Verdict check(const Readings& readings, const Limits& limits = DefaultLimits);

// The phase's letter: 'A', 'B', 'C'.
char phaseLetter(int phase);

// An angle in degrees brought into (-180, 180].
double normalizedAngle(double degrees);

}  // namespace lumo::wiring
