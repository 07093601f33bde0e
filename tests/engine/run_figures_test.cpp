#include "file_ops.h"
#include "io_error.h"
#include "namesakes.h"
#include "run_figures.h"
#include "temp_name.h"
#include "update_decision.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <set>

namespace qm {
namespace {

constexpr double Second = 1.0 / 86400;

/// The day count whose duration is exactly `seconds` (59.5 / 86400 alone comes back as
/// 59.49999...).
double daysFor(double seconds) {
    double days = seconds / 86400;
    while (days * 86400 < seconds)
        days = std::nextafter(days, 1.0);
    return days;
}

std::string tail(const std::string& line) {
    return line.substr(line.find("Total size"));
}

TEST(SummaryLine, RoundsMegabytesSecondsAndSpeedHalfEven) {
    EXPECT_EQ(summaryLine("Docs", 10485760, 0.001),
              "DONE! Docs ->   Total size 10 MB in 1 minutes 26 seconds at an average of 119 "
              "KBytes/Sec");
    EXPECT_EQ(tail(summaryLine("x", 2621440, 0)),
              "Total size 2 MB in 0 minutes 0 seconds at an average of 0 KBytes/Sec");
    EXPECT_EQ(tail(summaryLine("x", 3670016, 0)).substr(0, 16), "Total size 4 MB ");
    EXPECT_NE(summaryLine("x", 0, daysFor(59.5)).find(" 1 minutes 0 seconds "), std::string::npos);
    EXPECT_NE(summaryLine("x", 0, daysFor(58.5)).find(" 0 minutes 58 seconds "), std::string::npos);
    EXPECT_NE(summaryLine("x", 0, daysFor(0.5)).find(" 0 minutes 0 seconds "), std::string::npos);
    // sizes beyond 32 bits
    EXPECT_NE(summaryLine("x", 6LL << 30, Second).find("Total size 6144 MB"), std::string::npos);
}

TEST(Speeds, FileSpeedRoundsAndShownSpeedTruncatesTheMean) {
    EXPECT_EQ(fileSpeed(102400, Second), 100);
    EXPECT_EQ(fileSpeed(102400, 0), 0);
    EXPECT_EQ(fileSpeed(110592000, 0.5), 2); // 2.5 KB/s over half a day rounds to even
    EXPECT_EQ(fileSpeed(154828800, 0.5), 4); // 3.5 likewise
    EXPECT_EQ(fileSpeed(8LL << 40, Second / 1000), INT32_MAX);
    EXPECT_EQ(shownSpeed(51, 100), 75);
    EXPECT_EQ(shownSpeed(0, 100), 50);
    EXPECT_EQ(shownSpeed(INT32_MAX, INT32_MAX), INT32_MAX);
}

TEST(Progress, PercentOfScannedEntries) {
    EXPECT_EQ(progressPosition(1, 8), 12); // 12.5 to even
    EXPECT_EQ(progressPosition(3, 8), 38); // 37.5 to even
    EXPECT_EQ(progressPosition(8, 8), 100);
    EXPECT_EQ(
        progressPosition(9, 8),
        112); // 112.5: entries that appeared after the scan // entries that appeared after the scan
    EXPECT_EQ(progressPosition(5, 0), 100);
}

TEST(UpdateDecision, FollowsTheTableRowByRow) {
    using enum TargetOrder;
    using enum UpdateAction;
    struct Row {
        const char* options;
        UpdateAction equal, missing, older, newer;
    };
    const Row rows[] = {
        {"APAODN", Skip, Write, Ask, Ask},    {"APXXDN", Skip, Write, Ask, Ask},
        {"NPAODF", Skip, Write, Write, Skip}, {"NPXXDN", Skip, Write, Skip, Write},
        {"", Skip, Write, Skip, Write},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(decideUpdate(row.options, Equal), row.equal) << row.options;
        EXPECT_EQ(decideUpdate(row.options, Missing), row.missing) << row.options;
        EXPECT_EQ(decideUpdate(row.options, Older), row.older) << row.options;
        EXPECT_EQ(decideUpdate(row.options, Newer), row.newer) << row.options;
    }
}

TEST(UpdateDecision, OrdersByStampSlotOrExactTime) {
    PathStatus target;
    const timespec t2020{1588327200, 0}; // 2020-05-01
    target.mtime = {t2020.tv_sec + 1, 500};
    EXPECT_EQ(orderTarget(t2020, target), TargetOrder::Equal); // same two-second slot
    target.mtime = {t2020.tv_sec + 2, 0};
    EXPECT_EQ(orderTarget(t2020, target), TargetOrder::Newer);
    EXPECT_EQ(orderTarget(t2020, std::nullopt), TargetOrder::Missing);
    target.kind = EntryKind::Folder;
    EXPECT_EQ(orderTarget(t2020, target), TargetOrder::Missing);

    target.kind = EntryKind::File;
    const timespec t1970{86400, 0};
    target.mtime = {86400, 1};
    EXPECT_EQ(orderTarget(t1970, target), TargetOrder::Newer); // no stamps: exact times
    target.mtime = t1970;
    EXPECT_EQ(orderTarget(t1970, target), TargetOrder::Equal);
    EXPECT_EQ(orderTarget(t2020, target), TargetOrder::Older);

    // Europe/Berlin: 02:30 summer time and an hour later 02:30 winter time share a stamp.
    // Where both sides keep exact times, they are an hour apart; within two seconds, and
    // on media of local stamps, the stamp decides.
    const timespec summer{1792888200, 0};
    target.mtime = summer;
    EXPECT_EQ(orderTarget({summer.tv_sec + 3600, 0}, target), TargetOrder::Equal);
    EXPECT_EQ(orderTarget({summer.tv_sec + 3600, 0}, target, true), TargetOrder::Older);
    target.mtime = {summer.tv_sec + 3600, 0};
    EXPECT_EQ(orderTarget(summer, target, true), TargetOrder::Newer);
    target.mtime = {t2020.tv_sec + 1, 500};
    EXPECT_EQ(orderTarget(t2020, target, true), TargetOrder::Equal);
}

TEST(TempName, IsFreshEachTimeRecognisableAndShort) {
    std::set<std::string> names;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = newTempName();
        EXPECT_TRUE(isTempName(name)) << name;
        EXPECT_EQ(name.size(), 31u);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_FALSE(isTempName(".quillmark-notes.tmp"));
    EXPECT_FALSE(isTempName(".quillmark-0123456789ABCDEF.tmp"));
    EXPECT_FALSE(isTempName("quillmark.txt"));
}

} // namespace
} // namespace qm

TEST(Namesakes, TheSecondOfTwoNamesDifferingOnlyInCaseIsTold) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    qm::Namesakes names;
    EXPECT_EQ(names.met("Notes.txt"), nullptr);
    EXPECT_EQ(names.met("Notes.txt"), nullptr); // the same name again is no namesake
    ASSERT_NE(names.met("NOTES.TXT"), nullptr);
    EXPECT_EQ(*names.met("notes.txt"), "Notes.txt");
    EXPECT_EQ(names.met("Ärger"), nullptr);
    ASSERT_NE(names.met("ärger"), nullptr);
    EXPECT_EQ(names.met("bad\xff"), nullptr); // bytes of no character stay as they are
    EXPECT_EQ(*names.met("BAD\xff"), "bad\xff");
    names.clear();
    EXPECT_EQ(names.met("notes.txt"), nullptr);
    std::setlocale(LC_CTYPE, "C");
}
