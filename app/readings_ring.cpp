#include "app/readings_ring.h"

#include <algorithm>
#include <cmath>

namespace lumo {

ReadingsRing::ReadingsRing(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void ReadingsRing::push(std::int64_t timeMs, const Sample& values) {
    if (size_ > 0) timeMs = std::max(timeMs, time(size_ - 1));
    if (times_.empty()) {
        // The whole day at the first sample, so that the ring never grows in steps.
        times_.resize(capacity_);
        for (auto& v : values_) v.resize(capacity_);
    }
    std::size_t at;
    if (size_ < capacity_) {
        at = slot(size_++);
    } else {
        at = oldest_;
        oldest_ = slot(1);
    }
    times_[at] = timeMs;
    for (std::size_t r = 0; r < values_.size(); ++r) values_[r][at] = values[r];
}

void ReadingsRing::shiftTimes(std::int64_t deltaMs) {
    for (std::size_t i = 0; i < size_; ++i) times_[slot(i)] += deltaMs;
}

void ReadingsRing::clear() { oldest_ = size_ = 0; }

std::size_t ReadingsRing::lowerBound(std::int64_t t) const {
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (time(mid) < t) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

std::vector<TrendColumn> decimate(const ReadingsRing& ring, int reading, std::int64_t from,
                                  std::int64_t to, int width) {
    std::vector<TrendColumn> columns(static_cast<std::size_t>(std::max(width, 0)));
    if (width <= 0 || to <= from) return columns;
    const std::size_t begin = ring.lowerBound(from), end = ring.lowerBound(to);
    const double span = static_cast<double>(to - from);
    std::size_t i = begin;
    for (int c = 0; c < width && i < end; ++c) {
        // The column covers [from + c*span/width, from + (c+1)*span/width).
        const std::int64_t columnEnd =
            c + 1 == width ? to : from + static_cast<std::int64_t>(std::ceil(span * (c + 1) / width));
        TrendColumn& col = columns[static_cast<std::size_t>(c)];
        for (; i < end && ring.time(i) < columnEnd; ++i) {
            const float v = ring.value(i, reading);
            if (std::isnan(v)) continue;
            if (col.empty) {
                col = {false, v, v, v, v, ring.time(i), ring.time(i)};
                continue;
            }
            col.min = std::min(col.min, v);
            col.max = std::max(col.max, v);
            col.last = v;
            col.lastTime = ring.time(i);
        }
    }
    return columns;
}

}  // namespace lumo
