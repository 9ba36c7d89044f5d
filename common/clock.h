#pragma once
// Local date and time, and a file's last-write date, behind a seam so tests can pin the clock;
// and a clock of elapsed time that nobody sets.

#include <cstdint>
#include <optional>
#include <string>

namespace lumo {

struct LocalDateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    bool operator==(const LocalDateTime&) const = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalDateTime now() const = 0;
    // The local date and time the file was last written, or nothing when it cannot be read.
    virtual std::optional<LocalDateTime> fileModified(const std::string& path) const = 0;
};

// The computer's own clock and file system.
class SystemClock final : public Clock {
public:
    LocalDateTime now() const override;
    std::optional<LocalDateTime> fileModified(const std::string& path) const override;
};

// A clock that always answers the same moment; file dates come from the file system unless set.
class PinnedClock final : public Clock {
public:
    explicit PinnedClock(LocalDateTime at) : at_(at) {}
    LocalDateTime now() const override { return at_; }
    std::optional<LocalDateTime> fileModified(const std::string& path) const override;
    void setFileDate(std::optional<LocalDateTime> d) { fileDate_ = d; }

private:
    LocalDateTime at_;
    std::optional<LocalDateTime> fileDate_;
};

// Milliseconds since the computer started, counting the time it was suspended: unlike the
// computer's clock it is never set, and unlike a steady clock it runs on through a suspend, so
// the two together tell a suspend (both move on) from a clock that was set (only one moves).
std::int64_t sinceBootMs();

}  // namespace lumo
