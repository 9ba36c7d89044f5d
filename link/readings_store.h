#pragma once
// The readings store: what the workers fetch from the meter and the window shows and writes
// into the report. Every slot is a text replaced and read whole (each under its own small
// lock). The counters and the busy flag are atomics: the memory worker publishes a period's
// values before the count that covers them and clears MemoryBusy last (release stores); the
// window reads them with acquire loads, MemoryBusy before PeriodsRead.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/readings.h"

namespace lumo {

class TextSlot {
public:
    std::string get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    // The text and how many times it was written: a reader tells a slot written since it last
    // looked, whatever the text.
    std::string get(std::uint64_t& writes) const {
        std::lock_guard lock(mutex_);
        writes = writes_;
        return text_;
    }
    void set(std::string text) {
        std::lock_guard lock(mutex_);
        text_.swap(text);
        ++writes_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::uint64_t writes_ = 0;
};

struct ReadingsStore {
    static constexpr int CurrentSlots = 30;   // slots 1 to 18 used
    static constexpr int BlockSlots = 60;     // a period: slots 1 to 54 used
    static constexpr int Blocks = 100;        // periods 0 to 99
    static constexpr int MemorySlots = BlockSlots * Blocks;
    static constexpr int MaxPeriodCount = Blocks - 1;

    // The store index of parameter n (1 to 18) of period p: the minimum, maximum and average.
    static constexpr int minIndex(int p, int n) { return BlockSlots * p + 3 * n - 2; }
    static constexpr int maxIndex(int p, int n) { return BlockSlots * p + 3 * n - 1; }
    static constexpr int avgIndex(int p, int n) { return BlockSlots * p + 3 * n; }

    std::array<TextSlot, CurrentSlots> CurrentValues;
    std::atomic<std::int32_t> PeriodCount{0};
    std::atomic<std::int32_t> PeriodsRead{0};
    std::unique_ptr<std::array<TextSlot, MemorySlots>> MemoryValues =
        std::make_unique<std::array<TextSlot, MemorySlots>>();
    std::atomic<bool> MemoryBusy{false};
    // The meter answered the download's request for the period count (a count of 0 is then the
    // meter's own).
    std::atomic<bool> PeriodCountAnswered{false};

    // The live readings 1 to 18, in order; with `writes`, each slot's count of writes too.
    std::vector<std::string> currentTexts(std::vector<std::uint64_t>* writes = nullptr) const {
        std::vector<std::string> texts;
        texts.reserve(ReadingCount);
        if (writes) writes->assign(ReadingCount, 0);
        for (int n = 1; n <= ReadingCount; ++n) {
            std::uint64_t w = 0;
            texts.push_back(CurrentValues[static_cast<size_t>(n)].get(w));
            if (writes) (*writes)[static_cast<size_t>(n - 1)] = w;
        }
        return texts;
    }
    // Period p's statistics in the report's column order: minimum, maximum and average of
    // reading 1, then of reading 2, ...; none for a period outside the store.
    std::vector<std::string> statisticsTexts(int p) const {
        std::vector<std::string> texts;
        if (p < 0 || p >= Blocks) return texts;
        texts.reserve(StatisticsPerReading * ReadingCount);
        for (int n = 1; n <= ReadingCount; ++n)
            for (int slot : {minIndex(p, n), maxIndex(p, n), avgIndex(p, n)})
                texts.push_back((*MemoryValues)[static_cast<size_t>(slot)].get());
        return texts;
    }
};

}  // namespace lumo
