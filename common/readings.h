#pragma once
// The readings of the meter: U, I, angle, P, Q and S of phases A, B and C, numbered 1 to 18
// (phase A 1 to 6, B 7 to 12, C 13 to 18) on the wire, in the store, on the window and in the
// report's columns.

namespace lumo {

inline constexpr int ReadingCount = 18;
inline constexpr int ReadingsPerPhase = 6;
// Each stored reading has three statistics: minimum, maximum, average.
inline constexpr int StatisticsPerReading = 3;

constexpr bool isReadingNumber(int n) { return n >= 1 && n <= ReadingCount; }

}  // namespace lumo
