#include "attributes.h"
#include "exact_time.h"
#include "file_time.h"
#include "io_error.h"
#include "pending_io.h"
#include "temp_folder.h"

#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qm;
using namespace qm::test;

namespace {

timespec localStamp(int year, int month, int day, int hour, int minute, int second) {
    return {localTime(year, month, day, hour, minute, second), 0};
}

std::string conversionMessage(std::int32_t stamp) {
    try {
        stampToDateTime(stamp);
    } catch (const ConvertError& error) {
        return error.what();
    }
    return "no error";
}

} // namespace

class FileTimeTest : public TempFolderTest {
protected:
    std::string fileAt(const std::string& name, const timespec& time) {
        std::string full = writeFile(name, "x");
        EXPECT_TRUE(setFileTime(full, time));
        return full;
    }
};

TEST_F(FileTimeTest, OddSecondDropsToTheEvenOneAndRoundTrips) {
    timespec written = localStamp(2026, 12, 7, 15, 5, 9);
    written.tv_nsec = 999999999;
    std::int32_t stamp = dosDateTimeOf(fileAt("f", written));

    EXPECT_EQ(stamp >> 16 & 0xFFFF, 7 | 12 << 5 | (2026 - 1980) << 9);
    EXPECT_EQ(stamp >> 11 & 31, 15);
    EXPECT_EQ(stamp >> 5 & 63, 5);
    EXPECT_EQ(stamp & 31, 4);

    double value = stampToDateTime(stamp);
    DateTimeParts parts = decodeDateTime(value);
    EXPECT_EQ(parts.year, 2026);
    EXPECT_EQ(parts.month, 12);
    EXPECT_EQ(parts.day, 7);
    EXPECT_EQ(parts.hour, 15);
    EXPECT_EQ(parts.minute, 5);
    EXPECT_EQ(parts.second, 8);
    EXPECT_EQ(dateTimeToStamp(value), stamp);
    EXPECT_EQ(takeIoResult(), 0);
}

TEST_F(FileTimeTest, NoStampForMissingFoldersAndTimesOutsideTheRange) {
    EXPECT_EQ(dosDateTimeOf(fileAt("old", localStamp(1979, 12, 31, 23, 59, 59))), -1);
    EXPECT_NE(dosDateTimeOf(fileAt("first", localStamp(1980, 1, 1, 0, 0, 0))), -1);
    EXPECT_EQ(dosDateTimeOf(path("missing")), -1);
    EXPECT_EQ(dosDateTimeOf(root), -1);
    EXPECT_EQ(dosDateTimeFromTime(localStamp(2108, 1, 1, 0, 0, 0)), -1);
    EXPECT_EQ(takeIoResult(), 0);
}

TEST_F(FileTimeTest, StampsFrom2044OnAreNegativeButOrderLater) {
    std::int32_t late = dosDateTimeOf(fileAt("late", localStamp(2044, 3, 1, 12, 0, 0)));
    std::int32_t early = dosDateTimeOf(fileAt("early", localStamp(2043, 12, 31, 23, 59, 58)));
    EXPECT_LT(late, 0);
    EXPECT_GT(early, 0);
    EXPECT_GT(compareStamps(late, early), 0);
    EXPECT_LT(compareStamps(early, late), 0);
    EXPECT_EQ(compareStamps(late, late), 0);
    EXPECT_EQ(decodeDateTime(stampToDateTime(late)).year, 2044);
    EXPECT_EQ(dateTimeToStamp(stampToDateTime(late)), late);
}

TEST(StampConversion, ImpossibleFieldsRaiseTheMatchingMessage) {
    EXPECT_EQ(conversionMessage(-1), "Invalid argument to date encode");
    EXPECT_EQ(conversionMessage(0), "Invalid argument to date encode"); // month 0, day 0
    // 29 February 2023 does not exist; 2024 is a leap year.
    std::int32_t feb29of2023 = (29 | 2 << 5 | 43 << 9) << 16;
    std::int32_t feb29of2024 = (29 | 2 << 5 | 44 << 9) << 16;
    EXPECT_EQ(conversionMessage(feb29of2023), "Invalid argument to date encode");
    EXPECT_EQ(conversionMessage(feb29of2024), "no error");
    std::int32_t date = 7 | 12 << 5 | 46 << 9;
    EXPECT_EQ(conversionMessage(date << 16 | 24 << 11), "Invalid argument to time encode");
    EXPECT_EQ(conversionMessage(date << 16 | 60 << 5), "Invalid argument to time encode");
    EXPECT_EQ(conversionMessage(date << 16 | 30), "Invalid argument to time encode");
}

TEST(DateTimeValue, CountsDaysFrom30December1899) {
    EXPECT_DOUBLE_EQ(encodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(encodeDateTime(2000, 1, 1), 36526.0);
    EXPECT_DOUBLE_EQ(encodeDateTime(2000, 1, 1, 12), 36526.5);
    EXPECT_DOUBLE_EQ(encodeDateTime(1899, 12, 29, 6), -1.25);

    DateTimeParts parts = decodeDateTime(-1.25);
    EXPECT_EQ(parts.day, 29);
    EXPECT_EQ(parts.hour, 6);

    // Rounding to the millisecond may carry into the next day.
    parts = decodeDateTime(36526.0 - 1e-10);
    EXPECT_EQ(parts.year, 2000);
    EXPECT_EQ(parts.day, 1);
    EXPECT_EQ(parts.hour, 0);

    parts = decodeDateTime(encodeDateTime(2026, 12, 7, 23, 59, 59, 999));
    EXPECT_EQ(parts.second, 59);
    EXPECT_EQ(parts.millisecond, 999);
}

TEST(DateTimeValue, ToStampOutsideTheRangeIsZero) {
    EXPECT_EQ(dateTimeToStamp(encodeDateTime(1979, 12, 31, 23, 59, 59)), 0);
    EXPECT_EQ(dateTimeToStamp(encodeDateTime(2108, 1, 1)), 0);
    EXPECT_EQ(dateTimeToStamp(encodeDateTime(1980, 1, 1)), static_cast<std::int32_t>(0x00210000));
    EXPECT_EQ(dateTimeToStamp(encodeDateTime(2107, 12, 31, 23, 59, 59)),
              static_cast<std::int32_t>(0xFF9FBF7D));
}

class AttributesTest : public TempFolderTest {};

TEST_F(AttributesTest, PermissionBitsRoundTrip) {
    std::string source = writeFile("source", "s");
    std::string target = writeFile("target", "t");
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);

    Attributes read = readAttributes(source);
    EXPECT_EQ(read.bits, faArchive);
    EXPECT_EQ(read.mode, 0640u);
    EXPECT_EQ(setAttributes(target, read), 0);
    EXPECT_EQ(readAttributes(target), read);

    ASSERT_EQ(::chmod(source.c_str(), 0444), 0);
    EXPECT_EQ(setAttributes(target, readAttributes(source)), 0);
    EXPECT_EQ(readAttributes(target).bits, faArchive | faReadOnly);
    EXPECT_EQ(readAttributes(target).mode, 0444u);

    EXPECT_EQ(setArchiveOnly(target), 0);
    EXPECT_EQ(readAttributes(target).mode, 0644u);
    EXPECT_EQ(readAttributes(target).bits, faArchive);
}

TEST_F(AttributesTest, UnqueryablePathsAndFolders) {
    EXPECT_EQ(readAttributes(path("missing")).bits, -1);
    EXPECT_FALSE(readAttributes(path("missing")).valid());
    EXPECT_NE(setAttributes(path("missing"), Attributes{faArchive, 0644}), 0);
    EXPECT_EQ(readAttributes(root).bits, faDirectory);
    EXPECT_EQ(readAttributes(path(".dot")).bits, -1);
    writeFile(".dot", "");
    EXPECT_EQ(readAttributes(path(".dot")).bits, faHidden | faArchive);
    EXPECT_EQ(takeIoResult(), 0);
}

TEST_F(AttributesTest, LinksAreNeverFollowed) {
    std::string target = writeFile("target", "t");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    std::filesystem::create_symlink(target, path("link"));
    EXPECT_EQ(setAttributes(path("link"), Attributes{faArchive, 0444}), 0);
    EXPECT_EQ(setArchiveOnly(path("link")), 0);
    EXPECT_EQ(readAttributes(target).mode, 0600u);
    EXPECT_FALSE(readAttributes(path("link")).bits & faArchive);
}
