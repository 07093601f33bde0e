#include "arithmetic.h"
#include "io_error.h"
#include "pending_io.h"
#include "temp_folder.h"

#include <cerrno>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace qm;
using qm::test::TempFolderTest;

TEST(IoErrorMessage, FullStopOnlyAfterCharactersAboveDot) {
    EXPECT_EQ(topLevelMessageText(IoError(32).what()), "I/O error 32."); // a code without text
    EXPECT_EQ(topLevelMessageText("File not found"), "File not found.");
    EXPECT_EQ(topLevelMessageText("Done."), "Done.");
    EXPECT_EQ(topLevelMessageText("Stop!"), "Stop!");
    EXPECT_EQ(topLevelMessageText("(x)"), "(x)");
    EXPECT_EQ(topLevelMessageText("trailing "), "trailing ");
    EXPECT_EQ(topLevelMessageText("a/"), "a/.");
    EXPECT_EQ(topLevelMessageText(""), "");
    // A byte above 127 counts as above ".".
    EXPECT_EQ(topLevelMessageText("caf\xc3\xa9"), "caf\xc3\xa9.");
}

class CodeFromErrnoPaths : public TempFolderTest {};

TEST_F(CodeFromErrnoPaths, MissingFileIsTwoMissingFolderOnTheWayIsThree) {
    EXPECT_EQ(codeFromErrno(ENOENT, false, path("missing.txt")), 2);
    EXPECT_EQ(codeFromErrno(ENOENT, false, path("nofolder/missing.txt")), 3);
    EXPECT_EQ(codeFromErrno(ENOENT, false, "/"), 2);
}

TEST(PendingIo, ReadingClearsAndLaterFailureReplaces) {
    takeIoResult();
    EXPECT_EQ(takeIoResult(), 0);
    setPendingIo(5);
    setPendingIo(0); // a success leaves the code as it is
    EXPECT_EQ(takeIoResult(), 5);
    EXPECT_EQ(takeIoResult(), 0);

    setPendingIo(2);
    setPendingIo(183);
    EXPECT_EQ(takeIoResult(), 183);
}

TEST(PendingIo, CheckRaisesAnEarlierUnreadCodeAndClearsIt) {
    takeIoResult();
    EXPECT_NO_THROW(ioCheck());

    setPendingIo(32); // left by an earlier operation that nobody read
    try {
        ioCheck();
        FAIL() << "ioCheck did not raise";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 32);
        EXPECT_STREQ(error.what(), "I/O error 32");
    }
    EXPECT_EQ(takeIoResult(), 0);
    EXPECT_NO_THROW(ioCheck());
}

TEST(Arithmetic, RoundsHalvesToEven) {
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(3.5), 4);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_EQ(roundHalfEven(-3.5), -4);
    EXPECT_EQ(roundHalfEven(0.5), 0);
    EXPECT_EQ(roundHalfEven(2.4999), 2);
    EXPECT_EQ(roundHalfEven(2.5001), 3);
    EXPECT_EQ(roundHalfEven(-0.4), 0);
    EXPECT_EQ(roundHalfEven(1e15 + 0.5), static_cast<std::int64_t>(1e15));
    EXPECT_EQ(roundHalfEven(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
}

TEST(Arithmetic, RoundingOutsideTheRangeRaises) {
    for (double bad :
         {std::nan(""), 9223372036854775808.0, -1e19, std::numeric_limits<double>::infinity()}) {
        try {
            roundHalfEven(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const MathError& error) {
            EXPECT_STREQ(error.what(), "Invalid floating point operation");
        }
    }
}

TEST(Arithmetic, DivisionRaisesInsteadOfInfinityOrNan) {
    EXPECT_DOUBLE_EQ(divide(1.0, 4.0), 0.25);
    EXPECT_DOUBLE_EQ(divide(0.0, -3.0), 0.0);
    auto messageOf = [](double a, double b) {
        try {
            divide(a, b);
        } catch (const MathError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(messageOf(1.0, 0.0), "Floating point division by zero");
    EXPECT_EQ(messageOf(-1.0, 0.0), "Floating point division by zero");
    EXPECT_EQ(messageOf(0.0, 0.0), "Invalid floating point operation");
    EXPECT_EQ(messageOf(1e308, 1e-10), "Floating point overflow");
}
