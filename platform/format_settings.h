#pragma once

#include <string>

class QLocale;

namespace qm {

/// The locale's date and time formatting, read once at start-up.
/// Short date patterns use d, dd, m, mm, yy, yyyy; "/" stands for the date separator.
struct FormatSettings {
    std::string dateSeparator = "/";
    std::string shortDateFormat = "m/d/yy";
    std::string timeSeparator = ":";
    std::string amDesignator = "am";
    std::string pmDesignator = "pm";
    bool hourLeadingZero = false;
    bool twelveHourClock = true;
    bool designatorFirst = false;

    /// Settings of a locale, each falling back to the defaults above; the C and POSIX
    /// locales take the defaults as they stand.
    static FormatSettings fromLocale(const QLocale& locale);
    /// Settings of the user's locale (QLocale::system()).
    static FormatSettings fromSystem();
};

/// Short date, then " " + long time unless the time of day is 00:00:00.
std::string dateTimeText(double value, const FormatSettings& settings);
/// Short date only.
std::string dateText(double value, const FormatSettings& settings);

} // namespace qm
