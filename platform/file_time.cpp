#include "file_time.h"

#include "io_error.h"

#include <chrono>
#include <cmath>
#include <sys/stat.h>

namespace qm {

namespace {

constexpr double msPerDay = 86400000.0;

constexpr std::chrono::sys_days dayZero =
    std::chrono::sys_days{std::chrono::year{1899} / std::chrono::December / 30};

std::int32_t packStamp(int year, int month, int day, int hour, int minute, int second) {
    std::uint32_t date = static_cast<std::uint32_t>(day) | static_cast<std::uint32_t>(month) << 5 |
                         static_cast<std::uint32_t>(year - 1980) << 9;
    std::uint32_t time = static_cast<std::uint32_t>(second >> 1) |
                         static_cast<std::uint32_t>(minute) << 5 |
                         static_cast<std::uint32_t>(hour) << 11;
    return static_cast<std::int32_t>(date << 16 | time);
}

bool validDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    std::chrono::year_month_day_last end{std::chrono::year{year} /
                                         std::chrono::month(static_cast<unsigned>(month)) /
                                         std::chrono::last};
    return static_cast<unsigned>(day) <= static_cast<unsigned>(end.day());
}

} // namespace

std::int32_t dosDateTimeFromTime(const timespec& time) {
    std::tm local{};
    time_t seconds = time.tv_sec;
    if (::localtime_r(&seconds, &local) == nullptr)
        return -1;
    int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return -1;
    // A leap second (60) still belongs to the same minute.
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return packStamp(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second);
}

std::int32_t dosDateTimeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return -1;
    return dosDateTimeFromTime(st.st_mtim);
}

std::optional<timespec> modificationTimeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mtim;
}

double encodeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int millisecond) {
    if (!validDate(year, month, day))
        throw ConvertError("Invalid argument to date encode");
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999)
        throw ConvertError("Invalid argument to time encode");
    auto date = std::chrono::sys_days{std::chrono::year{year} /
                                      std::chrono::month(static_cast<unsigned>(month)) /
                                      std::chrono::day(static_cast<unsigned>(day))};
    double days = static_cast<double>((date - dayZero).count());
    double fraction = ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + millisecond) / msPerDay;
    // Before day 0 the fraction still counts forward from midnight.
    return days < 0 ? days - fraction : days + fraction;
}

DateTimeParts decodeDateTime(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 1.0e8)
        return {};
    double whole = std::trunc(value);
    auto days = static_cast<long long>(whole);
    auto ms = std::llround(std::fabs(value - whole) * msPerDay);
    if (ms >= static_cast<long long>(msPerDay)) {
        ms -= static_cast<long long>(msPerDay);
        days += value < 0 ? -1 : 1;
    }
    std::chrono::year_month_day ymd{dayZero + std::chrono::days{days}};
    DateTimeParts parts;
    parts.year = static_cast<int>(ymd.year());
    parts.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    parts.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    parts.hour = static_cast<int>(ms / 3600000);
    parts.minute = static_cast<int>(ms / 60000 % 60);
    parts.second = static_cast<int>(ms / 1000 % 60);
    parts.millisecond = static_cast<int>(ms % 1000);
    return parts;
}

double stampToDateTime(std::int32_t stamp) {
    auto bits = static_cast<std::uint32_t>(stamp);
    std::uint32_t date = bits >> 16;
    std::uint32_t time = bits & 0xFFFF;
    int year = static_cast<int>(date >> 9) + 1980;
    int month = static_cast<int>(date >> 5 & 15);
    int day = static_cast<int>(date & 31);
    if (!validDate(year, month, day))
        throw ConvertError("Invalid argument to date encode");
    int hour = static_cast<int>(time >> 11);
    int minute = static_cast<int>(time >> 5 & 63);
    int second = static_cast<int>(time & 31) * 2;
    return encodeDateTime(year, month, day, hour, minute, second);
}

std::int32_t dateTimeToStamp(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
        return 0;
    DateTimeParts p = decodeDateTime(value);
    if (p.year < 1980 || p.year > 2107)
        return 0;
    return packStamp(p.year, p.month, p.day, p.hour, p.minute, p.second);
}

std::optional<DateTimeParts> localPartsOf(const timespec& time) {
    std::tm local{};
    const time_t seconds = time.tv_sec;
    if (::localtime_r(&seconds, &local) == nullptr)
        return std::nullopt;
    return DateTimeParts{local.tm_year + 1900,
                         local.tm_mon + 1,
                         local.tm_mday,
                         local.tm_hour,
                         local.tm_min,
                         local.tm_sec,
                         0};
}

} // namespace qm
