#include "clock.h"
#include "file_time.h"
#include "format_settings.h"
#include "shell.h"

#include <QLocale>
#include <chrono>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>

using namespace qm;

namespace {

FormatSettings usSettings() {
    FormatSettings s;
    s.shortDateFormat = "m/d/yyyy";
    s.dateSeparator = "/";
    s.hourLeadingZero = false;
    s.twelveHourClock = true;
    s.amDesignator = "AM";
    s.pmDesignator = "PM";
    return s;
}

FormatSettings germanSettings() {
    FormatSettings s;
    s.shortDateFormat = "dd/mm/yyyy";
    s.dateSeparator = ".";
    s.hourLeadingZero = true;
    s.twelveHourClock = false;
    return s;
}

const double afternoon = encodeDateTime(2026, 12, 7, 15, 5, 8);

} // namespace

TEST(DateTimeText, TwelveAndTwentyFourHourLocales) {
    EXPECT_EQ(dateTimeText(afternoon, usSettings()), "12/7/2026 3:05:08 PM");
    EXPECT_EQ(dateText(afternoon, usSettings()), "12/7/2026");
    EXPECT_EQ(dateTimeText(afternoon, germanSettings()), "07.12.2026 15:05:08");
    EXPECT_EQ(dateText(afternoon, germanSettings()), "07.12.2026");
}

TEST(DateTimeText, MidnightShowsOnlyTheDate) {
    double midnight = encodeDateTime(2026, 12, 7);
    EXPECT_EQ(dateTimeText(midnight, usSettings()), "12/7/2026");
    EXPECT_EQ(dateTimeText(midnight + 1.0 / 86400, usSettings()), "12/7/2026 12:00:01 AM");
    EXPECT_EQ(dateTimeText(midnight + 1.0 / 86400, germanSettings()), "07.12.2026 00:00:01");
    // Milliseconds play no part.
    EXPECT_EQ(dateTimeText(encodeDateTime(2026, 12, 7, 0, 0, 0, 500), germanSettings()),
              "07.12.2026");
}

TEST(DateTimeText, HourRunsOneToTwelveAndDesignatorMayLead) {
    FormatSettings s = usSettings();
    EXPECT_EQ(dateTimeText(encodeDateTime(2026, 1, 2, 12, 0, 0), s), "1/2/2026 12:00:00 PM");
    EXPECT_EQ(dateTimeText(encodeDateTime(2026, 1, 2, 0, 30, 0), s), "1/2/2026 12:30:00 AM");
    s.designatorFirst = true;
    s.hourLeadingZero = true;
    s.timeSeparator = ".";
    EXPECT_EQ(dateTimeText(encodeDateTime(2026, 1, 2, 9, 7, 6), s), "1/2/2026 AM 09.07.06");

    FormatSettings defaults;
    EXPECT_EQ(dateTimeText(encodeDateTime(2009, 3, 4, 13, 2, 1), defaults), "3/4/09 1:02:01 pm");
}

TEST(DateTimeText, LiteralsInTheDatePatternStayLiteral) {
    FormatSettings s;
    s.shortDateFormat = "yyyy\"y\"/mm/dd";
    s.dateSeparator = "-";
    EXPECT_EQ(dateText(afternoon, s), "2026y-12-07");
}

TEST(FormatSettingsFromLocale, UnitedStates) {
    FormatSettings s = FormatSettings::fromLocale(QLocale("en_US"));
    EXPECT_EQ(s.dateSeparator, "/");
    EXPECT_EQ(s.shortDateFormat, "m/d/yy");
    EXPECT_EQ(s.timeSeparator, ":");
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_FALSE(s.designatorFirst);
    EXPECT_FALSE(s.hourLeadingZero);
    EXPECT_EQ(s.amDesignator, "AM");
    EXPECT_EQ(s.pmDesignator, "PM");
    EXPECT_EQ(dateTimeText(afternoon, s), "12/7/26 3:05:08 PM");
}

TEST(FormatSettingsFromLocale, Germany) {
    FormatSettings s = FormatSettings::fromLocale(QLocale("de_DE"));
    EXPECT_EQ(s.dateSeparator, ".");
    EXPECT_EQ(s.timeSeparator, ":");
    EXPECT_FALSE(s.twelveHourClock);
    EXPECT_TRUE(s.hourLeadingZero);
    std::string text = dateTimeText(afternoon, s);
    EXPECT_EQ(text.substr(0, 6), "07.12.");
    EXPECT_EQ(text.substr(text.size() - 9), " 15:05:08");
    EXPECT_EQ(dateText(afternoon, s).find('/'), std::string::npos);
}

TEST(FormatSettingsFromLocale, DesignatorBeforeTheHour) {
    FormatSettings s = FormatSettings::fromLocale(QLocale("ko_KR"));
    if (!QLocale("ko_KR").timeFormat(QLocale::ShortFormat).startsWith(u'A'))
        GTEST_SKIP() << "this Qt puts no designator first for ko_KR";
    EXPECT_TRUE(s.twelveHourClock);
    EXPECT_TRUE(s.designatorFirst);
    std::string text = dateTimeText(afternoon, s);
    EXPECT_EQ(text.substr(text.size() - 8), " 3:05:08");
}

TEST(FormatSettingsFromLocale, TheCAndPosixLocalesUseTheDefaults) {
    for (const QLocale& locale : {QLocale::c(), QLocale("C"), QLocale("POSIX")}) {
        SCOPED_TRACE(locale.name().toStdString());
        const FormatSettings s = FormatSettings::fromLocale(locale);
        EXPECT_EQ(s.shortDateFormat, "m/d/yy");
        EXPECT_EQ(s.dateSeparator, "/");
        EXPECT_TRUE(s.twelveHourClock);
        EXPECT_EQ(dateTimeText(afternoon, s), "12/7/26 3:05:08 pm");
        // the datestamped folder's date: no blanks once the separators are gone
        EXPECT_EQ(dateText(afternoon, s), "12/7/26");
    }
}

TEST(SystemClock, ReadsLocalTimeToTheMillisecond) {
    SystemClock clock;
    std::time_t before = std::time(nullptr);
    double now = clock.now();
    std::tm local{};
    ::localtime_r(&before, &local);
    double expected = encodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                     local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_NEAR(now, expected, 2.0 / 86400);
    double today = clock.today();
    EXPECT_EQ(today, std::floor(today));
    EXPECT_LE(now - today, 1.0);
}

TEST(Shell, ComputerNameIsShortAndNotEmpty) {
    std::string name = computerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 30u);
    auto home = homeFolderPath();
    ASSERT_TRUE(home.has_value());
    EXPECT_FALSE(home->empty());
}
