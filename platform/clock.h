#pragma once

namespace qm {

/// Source of "now" as a date-time value (days since 1899-12-30, local time, to the ms).
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    /// A reading for durations, in days to the millisecond. Local time jumps when daylight
    /// saving starts or ends; this never goes back.
    virtual double steadyNow() const { return now(); }
    /// The local date with time of day 0.
    double today() const;
};

/// The system clock in local time.
class SystemClock : public Clock {
public:
    double now() const override;
    double steadyNow() const override;
};

} // namespace qm
