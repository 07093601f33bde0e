#pragma once

namespace qm {

/// Source of "now" as a date-time value (days since 1899-12-30, local time, to the ms).
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    /// The local date with time of day 0.
    double today() const;
};

/// The system clock in local time.
class SystemClock : public Clock {
public:
    double now() const override;
};

} // namespace qm
