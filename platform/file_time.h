#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace qm {

/// DOS date-time of a regular file or link (lstat, local time); -1 when missing, a folder,
/// or outside 1980..2107. Nothing pending afterwards.
std::int32_t dosDateTimeOf(const std::string& path);

/// DOS date-time of an exact time (local); -1 outside 1980..2107.
std::int32_t dosDateTimeFromTime(const timespec& time);

/// The exact modification time of a path (lstat), none when it cannot be queried.
std::optional<timespec> modificationTimeOf(const std::string& path);

/// Stamp to date-time value. throw ConvertError "Invalid argument to date encode" /
/// "Invalid argument to time encode".
double stampToDateTime(std::int32_t stamp);

/// Date-time value to stamp; 0 when the year lies outside 1980..2107.
std::int32_t dateTimeToStamp(double value);

/// Date-time value (days since 1899-12-30) from calendar fields. throw ConvertError
double encodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                      int millisecond = 0);

struct DateTimeParts {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0, millisecond = 0;
};

/// Splits a date-time value, rounded to the millisecond, into its fields.
DateTimeParts decodeDateTime(double value);

/// The local calendar fields of an exact time (seconds); none where the system cannot say.
std::optional<DateTimeParts> localPartsOf(const timespec& time);

/// Stamps compared in time order (unsigned, so 2044 and later sort after earlier years).
inline int compareStamps(std::int32_t a, std::int32_t b) {
    auto ua = static_cast<std::uint32_t>(a), ub = static_cast<std::uint32_t>(b);
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

} // namespace qm
