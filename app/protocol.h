#pragma once
// The protocol of a wiring check: a one-page A4 PDF that the engineer signs and hands in. It
// says where and when, what was measured (each reading's mean over the last seconds and how far
// it moved), the vector diagram, the check's lines and what the readings cannot tell apart.
// What it shows is taken on the window's thread (collect); the PDF is written from that alone,
// on any thread (writePdf).

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/readings.h"
#include "wiring/wiring_check.h"

namespace lumo::protocol {

// What the operator types before saving; kept in the settings file.
struct Fields {
    std::string object, connection, operatorName;
};

// One tick of live readings as the protocol may use them: a reading the meter did not send
// afresh (its slot not written for StaleMs), that is missing or cannot be real is empty.
struct Tick {
    std::int64_t timeMs = 0;
    std::array<std::optional<double>, ReadingCount> values{};
};

// One reading over the protocol's seconds.
struct Stat {
    int count = 0;        // ticks that had it
    double mean = 0;      // angles: the mean direction, in the meter's range of the last tick
    double spread = 0;    // the largest less the smallest (angles: around the mean)
    bool moved = false;   // it moved more than MovedShare of its size (angles: MovedDegrees)
};

enum class State {
    NoReadings,  // no tick has brought a reading
    Current,     // polling runs and the meter answers
    Stopped,     // polling is stopped: the readings are the last ones taken
    Silent,      // polling runs but the meter has sent nothing afresh since `lastFreshMs`
};

// The seconds averaged, and how old a reading may be and still count as current.
inline constexpr std::int64_t WindowMs = 10000;
inline constexpr std::int64_t StaleMs = 3000;
// A reading is marked as moved beyond this share of its size: U and I of their own mean, P, Q
// and S of the phase's S (P and Q near zero move by whole per cents of themselves), at least
// the floors below; an angle beyond this many degrees.
inline constexpr double MovedShare = 0.05;
inline constexpr double MovedDegrees = 5.0;

struct Snapshot {
    Fields fields;
    wiring::Site site = wiring::Site::Consumption;
    State state = State::NoReadings;
    std::int64_t madeMs = 0;                  // when the protocol was asked for
    std::int64_t firstMs = 0, lastMs = 0;     // the first and last tick averaged
    std::int64_t lastFreshMs = 0;             // the last tick with a reading sent afresh
    int ticks = 0;                            // ticks averaged
    std::array<Stat, ReadingCount> readings{};
    std::array<Stat, 3> sums{};               // P, Q and S of the three phases together
    wiring::Readings diagram{};               // the last tick's readings, as the window draws them
    bool anyDiagram = false;
    wiring::Verdict verdict;                  // the window's last verdict
    std::string version;                      // the program's
};

// What the protocol shows, from the ticks kept (oldest first), the window's last readings and
// verdict, and whether polling runs at `nowMs`.
Snapshot collect(const std::deque<Tick>& ticks, const wiring::Readings& diagram, const wiring::Verdict& verdict,
                 bool polling, std::int64_t nowMs);

// The readings' statistics over the ticks of the WindowMs up to the newest.
void averageTicks(const std::deque<Tick>& ticks, Snapshot& s);

// The name the save dialog offers: "Протокол <объект> <дата>.pdf", at most 60 characters of the
// object, those that no file name may hold replaced by "_" ("Протокол <дата>.pdf" without one).
std::string defaultFileName(const std::string& object, std::int64_t timeMs);

// The lines of text the protocol prints, in order, for a reader of the page (and for tests):
// the same texts the page draws.
struct Texts {
    std::string title, subtitle;
    std::vector<std::pair<std::string, std::string>> header;  // label, value
    std::string state;                          // empty when the readings are current
    std::string tableCaption;
    std::array<std::string, 4> columns;         // A, B, C, the sums
    std::array<std::array<std::string, 4>, 6> cells;  // [quantity][A, B, C, sum]
    std::array<std::string, 6> rowNames;
    std::string tableNote;
    std::string diagramCaption;
    std::string checkCaption;
    std::vector<wiring::Line> checkLines;
    std::vector<std::string> cannotTell;        // with its heading first, when there is any
    std::string signature, program;
};
Texts texts(const Snapshot& s);

// Writes the protocol as a one-page A4 PDF at `path` (UTF-8), through a file beside it that
// replaces it only when whole (replaceFile): a failed write leaves nothing behind, and an older
// file as it was. False when it could not be written. Any thread, once loadFonts has run.
bool writePdf(const Snapshot& s, const std::string& path);

// Makes the protocol's fonts known (once; window thread, before the first writePdf).
void loadFonts();

}  // namespace lumo::protocol
