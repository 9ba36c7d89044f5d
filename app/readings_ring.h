#pragma once
// The trend's memory: the 18 live readings of every tick, up to a day of them, and their
// reduction to one minimum and maximum a pixel column, so that a day redraws as fast as a minute.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/readings.h"

namespace lumo {

// The live readings of each tick with its time (milliseconds since the epoch), oldest first.
// Bounded: once full, a new sample replaces the oldest. A missing reading is NaN. Times never
// go back: a sample older than the newest is taken as at the newest's time.
class ReadingsRing {
public:
    static constexpr std::size_t DayOfSeconds = 86400;
    using Sample = std::array<float, ReadingCount>;

    explicit ReadingsRing(std::size_t capacity = DayOfSeconds);

    void push(std::int64_t timeMs, const Sample& values);
    // Moves every sample's time by `deltaMs`: the computer's clock was set, and the samples
    // taken before are brought to the clock as it now goes.
    void shiftTimes(std::int64_t deltaMs);
    void clear();
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    // Sample i, 0 the oldest; reading 0 to 17 (parameter number - 1).
    std::int64_t time(std::size_t i) const { return times_[slot(i)]; }
    float value(std::size_t i, int reading) const { return values_[static_cast<std::size_t>(reading)][slot(i)]; }
    // The index of the first sample at or after t (size() when there is none).
    std::size_t lowerBound(std::int64_t t) const;

private:
    std::size_t slot(std::size_t i) const {
        const std::size_t s = oldest_ + i;
        return s < capacity_ ? s : s - capacity_;
    }

    std::size_t capacity_;
    std::size_t oldest_ = 0, size_ = 0;
    std::vector<std::int64_t> times_;
    std::array<std::vector<float>, ReadingCount> values_;  // one array a reading: a trend reads 3
};

// The samples of one reading that fall into one pixel column.
struct TrendColumn {
    bool empty = true;
    float min = 0, max = 0;      // over the column's samples
    float first = 0, last = 0;   // its first and last sample, to join the neighbours
    std::int64_t firstTime = 0, lastTime = 0;
};

// Reading `reading` over the times [from, to) split into `width` equal columns: the minimum,
// maximum, first and last value of each. Missing readings are left out; a column without
// samples is empty.
std::vector<TrendColumn> decimate(const ReadingsRing& ring, int reading, std::int64_t from,
                                  std::int64_t to, int width);

}  // namespace lumo
