#include "as_nobody.h"
#include "block_file.h"
#include "engine_fixture.h"
#include "exact_time.h"
#include "file_bytes.h"
#include "file_time.h"
#include "io_error.h"
#include "temp_name.h"
#include "write_faults.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

class FileUpdateTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src");
        makeFolder("dst");
    }

    /// A source file and, when `targetBytes` is given, its twin, with their times.
    void pair(const std::string& name, std::time_t sourceTime, const char* targetBytes,
              std::time_t targetTime) {
        writeFile("src/" + name, "new " + name);
        setTime("src/" + name, sourceTime);
        if (targetBytes) {
            writeFile("dst/" + name, targetBytes);
            setTime("dst/" + name, targetTime);
        }
    }

    void update(const std::string& name, const std::string& options = "NPAODN") {
        struct stat st {};
        state.CurrentFileSize = ::lstat(path("src/" + name).c_str(), &st) == 0 ? st.st_size : 0;
        engine.UpdateFile(path("src"), name, path("dst"), name, options);
    }

    std::string target(const std::string& name) const { return readFile(path("dst/" + name)); }

    struct stat statOf(const std::string& relative) const {
        struct stat st {};
        EXPECT_EQ(::lstat(path(relative).c_str(), &st), 0) << relative;
        return st;
    }

    const std::time_t t2020 = localTime(2020, 5, 1);
    const std::time_t t2021 = localTime(2021, 5, 1);
};

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return bytes;
}

TEST_F(FileUpdateTest, CopyHasSourceBytesExactTimeAndPermissionsAndSourceIsUntouched) {
    const std::string big = patterned(3 * 524288 / 2);
    writeFile("src/big", big);
    setTime("src/big", t2020, 123456789);
    ASSERT_EQ(::chmod(path("src/big").c_str(), 0444), 0);
    writeFile("dst/big", "older copy");
    setTime("dst/big", t2020 - 86400);
    ASSERT_EQ(::chmod(path("dst/big").c_str(), 0666), 0);

    update("big");

    EXPECT_EQ(target("big"), big);
    struct stat copy = statOf("dst/big"), source = statOf("src/big");
    EXPECT_EQ(copy.st_mtim.tv_sec, t2020);
    EXPECT_EQ(copy.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(copy.st_mode & 07777, 0444u);
    EXPECT_EQ(source.st_mode & 07777, 0444u);
    EXPECT_EQ(source.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(state.FilesSeen, 1);
    EXPECT_EQ(state.FilesUpdated, 1);
    EXPECT_EQ(view.pumps, 2); // one per block
    ASSERT_EQ(view.log.size(), 1u);
    EXPECT_TRUE(view.log[0].starts_with("   " + path("src/big") + " ")) << view.log[0];
    EXPECT_TRUE(view.log[0].ends_with(" KBytes/Sec"));
    EXPECT_EQ(view.statuses.front(), path("src/big") + "   busy");
    EXPECT_TRUE(tempsIn("dst").empty());

    // A second look finds equal times and writes nothing.
    view.log.clear();
    update("big");
    EXPECT_EQ(state.FilesUpdated, 1);
    EXPECT_TRUE(view.log.empty());
}

TEST_F(FileUpdateTest, BlockSizedAndEmptyFilesCopyWhole) {
    writeFile("src/block", patterned(524288));
    writeFile("src/empty", "");
    update("block");
    update("empty");
    EXPECT_EQ(target("block").size(), 524288u);
    EXPECT_EQ(target("block"), patterned(524288));
    ASSERT_TRUE(exists("dst/empty"));
    EXPECT_EQ(target("empty"), "");
    EXPECT_EQ(state.FilesUpdated, 2);
}

TEST_F(FileUpdateTest, EqualStampsSkipWithoutLogEvenWhenAsking) {
    // 10:00:08.0 and 10:00:09.9 share one two-second slot
    const std::time_t t = localTime(2020, 5, 1, 10, 0, 8);
    writeFile("src/a", "source");
    setTime("src/a", t);
    writeFile("dst/a", "target");
    setTime("dst/a", t + 1, 900000000);
    state.PreviousSpeed = 77;

    update("a", "APAODN");

    EXPECT_EQ(view.statuses.back(), path("src/a") + "   Already exists");
    EXPECT_EQ(state.FilesSeen, 1);
    EXPECT_EQ(state.FilesUpdated, 0);
    EXPECT_EQ(state.PreviousSpeed, 77);
    EXPECT_TRUE(view.log.empty());
    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(target("a"), "target");
}

TEST_F(FileUpdateTest, AFileSavedInTheRepeatedHourIsCopied) {
    // Europe/Berlin, 2026-10-25: the copy saved at 02:30 summer time, the source an hour
    // later at 02:30 winter time. One local stamp, but both disks keep exact times.
    const std::time_t copySaved = 1792888200;
    ASSERT_EQ(dosDateTimeFromTime({copySaved, 0}), dosDateTimeFromTime({copySaved + 3600, 0}));
    writeFile("src/a", "changed an hour later");
    setTime("src/a", copySaved + 3600);
    writeFile("dst/a", "saved first");
    setTime("dst/a", copySaved);

    update("a");

    EXPECT_EQ(target("a"), "changed an hour later");
    EXPECT_EQ(state.FilesUpdated, 1);
}

TEST_F(FileUpdateTest, OptionsDecideBetweenOlderAndNewerTargets) {
    struct Case {
        const char* name;
        const char* options;
        std::time_t targetTime; // 0: no target
        bool written;
    };
    const Case cases[] = {
        {"missingAsk", "APAODN", 0, true},     {"missingAO", "NPAODN", 0, true},
        {"olderAO", "NPAODN", t2020, true},    {"newerAO", "NPAODN", t2021 + 86400, false},
        {"olderXX", "NPXXDN", t2020, false},   {"newerXX", "NPXXDN", t2021 + 86400, true},
        {"olderLower", "apAODN", t2020, true}, // "ap" is not "AP": no question
    };
    for (const Case& c : cases) {
        pair(c.name, t2021, c.targetTime ? "old" : nullptr, c.targetTime);
        update(c.name, c.options);
        EXPECT_EQ(target(c.name) == std::string("new ") + c.name, c.written) << c.name;
    }
    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(state.FilesUpdated, 5);
    EXPECT_EQ(state.FilesSeen, 7);
}

TEST_F(FileUpdateTest, AskingShowsSixLinesAndOnlyYesWrites) {
    pair("a", t2021, "old", t2020);
    view.answers = {7, 2, 6};
    update("a", "APAODN");
    EXPECT_EQ(view.statuses.back(), path("src/a") + "   Already exists");
    update("a", "APAODN"); // closed: same as No
    EXPECT_EQ(target("a"), "old");
    EXPECT_EQ(state.FilesUpdated, 0);
    update("a", "APAODN");
    EXPECT_EQ(target("a"), "new a");
    EXPECT_EQ(state.FilesUpdated, 1);

    auto text = [&](std::time_t t) {
        return dateTimeText(stampToDateTime(dosDateTimeFromTime({t, 0})), format);
    };
    const std::string expected = "SOURCE FILE NEWER THAN TARGET !!! \r\r Source ->a  " +
                                 text(t2021) + "\r Target ->a  " + text(t2020) +
                                 "\r\rOverwrite Target/Destination?";
    ASSERT_EQ(view.questions.size(), 3u);
    EXPECT_EQ(view.questions[0], expected);

    pair("b", t2020, "newer", t2021);
    update("b", "APAODN");
    ASSERT_EQ(view.questions.size(), 4u);
    EXPECT_TRUE(view.questions[3].starts_with("TARGET FILE NEWER THAN SOURCE !!! \r\r"));
    EXPECT_EQ(std::count(view.questions[3].begin(), view.questions[3].end(), '\r'), 5);
}

TEST_F(FileUpdateTest, TimesOutsideTheDosRangeAreComparedExactly) {
    const std::time_t t1970 = localTime(1970, 1, 2);
    pair("old", t1970, nullptr, 0);
    update("old");
    EXPECT_EQ(target("old"), "new old");
    EXPECT_EQ(statOf("dst/old").st_mtim.tv_sec, t1970);
    update("old"); // same exact time: nothing to do
    EXPECT_EQ(state.FilesUpdated, 1);

    pair("unpacked", t2020, "from an archive", t1970); // target older than 1980
    update("unpacked");
    EXPECT_EQ(target("unpacked"), "new unpacked");

    pair("asked", t1970 + 60, "also old", t1970);
    update("asked", "APAODN");
    ASSERT_EQ(view.questions.size(), 1u);
    EXPECT_NE(view.questions[0].find("1/2/70"), std::string::npos) << view.questions[0];
    EXPECT_EQ(target("asked"), "also old");
}

TEST_F(FileUpdateTest, StampsFrom2044OnAreNewerNotOlder) {
    pair("future", localTime(2030, 1, 1), "from 2050", localTime(2050, 1, 1));
    update("future", "NPAODN");
    EXPECT_EQ(target("future"), "from 2050");

    pair("source2050", localTime(2050, 1, 1), "from 2030", localTime(2030, 1, 1));
    update("source2050", "NPAODN");
    EXPECT_EQ(target("source2050"), "new source2050");
}

TEST_F(FileUpdateTest, LinksAreReproducedAndNeverWrittenThrough) {
    ASSERT_EQ(::symlink("../elsewhere/file", path("src/link").c_str()), 0);
    setTime("src/link", t2020);
    update("link");
    char text[64] = {};
    ASSERT_GT(::readlink(path("dst/link").c_str(), text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "../elsewhere/file");
    EXPECT_EQ(statOf("dst/link").st_mtim.tv_sec, t2020);
    update("link");
    EXPECT_EQ(state.FilesUpdated, 1);

    // A target that is a link, or shares its data with another name, is replaced.
    writeFile("outside", "must stay");
    writeFile("dst/shared", "must stay too");
    pair("viaLink", t2021, nullptr, 0);
    pair("hard", t2021, nullptr, 0);
    ASSERT_EQ(::symlink(path("outside").c_str(), path("dst/viaLink").c_str()), 0);
    setTime("dst/viaLink", t2020);
    ASSERT_EQ(::link(path("dst/shared").c_str(), path("dst/hard").c_str()), 0);
    setTime("dst/hard", t2020);
    update("viaLink");
    update("hard");
    EXPECT_EQ(readFile(path("outside")), "must stay");
    EXPECT_EQ(readFile(path("dst/shared")), "must stay too");
    EXPECT_TRUE(S_ISREG(statOf("dst/viaLink").st_mode));
    EXPECT_EQ(target("viaLink"), "new viaLink");
    EXPECT_EQ(target("hard"), "new hard");
}

TEST_F(FileUpdateTest, SpecialFilesAreNeverOpenedButLogged) {
    ASSERT_EQ(::mkfifo(path("src/pipe").c_str(), 0644), 0);
    update("pipe");
    EXPECT_FALSE(exists("dst/pipe"));
    EXPECT_EQ(view.log,
              std::vector<std::string>{"   Skipped (not a regular file) -> " + path("src/pipe")});
    EXPECT_EQ(state.FilesSeen, 0);
}

TEST_F(FileUpdateTest, FileNamedLikeATemporaryIsNeverRemovedForItsName) {
    const std::string lookalike = "dst/" + newTempName();
    writeFile(lookalike, "a file of the user's");
    pair("a", t2021, nullptr, 0);
    update("a");
    EXPECT_EQ(target("a"), "new a");
    EXPECT_EQ(readFile(path(lookalike)), "a file of the user's");
}

TEST_F(FileUpdateTest, FailedWriteKeepsTheOldTargetAndEndsTheRun) {
    // a fault of the medium, never one of this file alone: every later file would meet it
    for (const auto& [hook, code] :
         {std::pair{&diskFullOnTemps, 112}, std::pair{&shortWriteOnTemps, 112},
          std::pair{&failingMediumOnTemps, 1117}}) {
        SCOPED_TRACE(code);
        pair("a", t2021, "previous good copy", t2020);
        setWriteHook(hook);
        try {
            update("a");
            ADD_FAILURE() << "no error raised";
        } catch (const IoError& error) {
            EXPECT_EQ(error.code(), code);
            EXPECT_EQ(error.what(), "I/O error " + std::to_string(code));
        }
        setWriteHook(nullptr);
        EXPECT_EQ(target("a"), "previous good copy");
        EXPECT_EQ(statOf("dst/a").st_mtim.tv_sec, t2020);
        EXPECT_TRUE(tempsIn("dst").empty());
        EXPECT_TRUE(view.log.empty());
    }
}

TEST_F(FileUpdateTest, ClashAtTheTargetPathIsNamedAndNothingIsRaised) {
    pair("a", t2021, nullptr, 0);
    makeFolder("dst/a/kept"); // a folder where the file goes
    writeFile("dst/notafolder", "a file where a folder belongs");
    ASSERT_EQ(::symlink("a", path("src/link").c_str()), 0);
    struct Target {
        std::string name, folder, error, reason;
    };
    const std::string denied =
        "      Access is denied: there is no permission to read or write here.";
    const std::string noFolder =
        "      The folder does not exist, or a part of the path is not a folder.";
    const Target targets[] = {
        {"a", path("dst"), "   Error 5 -> " + path("dst/a"), denied},
        {"a", path("nowhere"), "   Error 3 -> " + path("nowhere/a"), noFolder},
        {"a", path("dst/notafolder"), "   Error 3 -> " + path("dst/notafolder/a"), noFolder},
        {"link", path("nowhere"), "   Error 3 -> " + path("nowhere/link"), noFolder},
    };
    for (const Target& t : targets) {
        SCOPED_TRACE(t.error);
        view.log.clear();
        const std::int64_t seen = state.FilesSeen;
        state.CurrentFileSize = 5;
        engine.UpdateFile(path("src"), t.name, t.folder, t.name, "APAODN");
        EXPECT_EQ(view.log, (std::vector<std::string>{t.error, t.reason}));
        EXPECT_EQ(state.FilesSeen, seen + 1);
        EXPECT_EQ(state.FilesUpdated, 0);
        EXPECT_TRUE(view.questions.empty());
        // the speed is still shown, but not logged
        EXPECT_TRUE(view.statuses.back().ends_with(" KBytes/Sec")) << view.statuses.back();
    }
    EXPECT_TRUE(exists("dst/a/kept"));
    EXPECT_EQ(target("notafolder"), "a file where a folder belongs");
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_TRUE(tempsIn("dst/a").empty());
}

TEST_F(FileUpdateTest, ReadOnlySourceIsCopiedWithoutWriteAccess) {
    pair("a", t2021, nullptr, 0);
    ASSERT_EQ(::chmod(path("src/a").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(path("src").c_str(), 0555), 0);
    ASSERT_EQ(::chown(path("dst").c_str(), Nobody, Nobody), 0);
    int status = runAsNobody([&] {
        update("a");
        struct stat st {};
        if (::lstat(path("dst/a").c_str(), &st) != 0 || (st.st_mode & 07777) != 0444)
            return 1;
        if (target("a") != "new a" || state.FilesUpdated != 1 || view.log.size() != 1)
            return 2;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(statOf("src/a").st_mode & 07777, 0444u);
}

TEST_F(FileUpdateTest, UnreadableSourceIsReportedAndTheRunGoesOn) {
    pair("secret", t2021, nullptr, 0);
    ASSERT_EQ(::chmod(path("src/secret").c_str(), 0), 0);
    ASSERT_EQ(::chown(path("dst").c_str(), Nobody, Nobody), 0);
    int status = runAsNobody([&] {
        update("secret");
        const std::string error = "   Error 5 -> " + path("src/secret");
        const std::string reason =
            "      Access is denied: there is no permission to read or write here.";
        if (view.log != std::vector<std::string>{error, reason})
            return 1;
        if (state.FilesSeen != 1 || state.FilesUpdated != 0 || exists("dst/secret"))
            return 2;
        // the speed is still shown, but not logged
        return view.statuses.back() == "   " + path("src/secret") + " 0 KBytes/Sec" ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(FileUpdateTest, ShownSpeedAveragesWithThePreviousFile) {
    const double second = 1.0 / 86400;
    clock.script = {100.0, 100.0 + second, 200.0, 200.0 + second, 300.0, 300.0};
    writeFile("src/a", std::string(102400, 'a')); // 100 KB in one second
    writeFile("src/b", std::string(52224, 'b'));  // 51 KB in one second
    writeFile("src/c", "c");                      // no measurable time
    update("a");
    EXPECT_EQ(view.statuses.back(), "   " + path("src/a") + " 100 KBytes/Sec");
    EXPECT_EQ(state.PreviousSpeed, 100);
    update("b");
    EXPECT_EQ(view.statuses.back(), "   " + path("src/b") + " 75 KBytes/Sec");
    EXPECT_EQ(state.PreviousSpeed, 51);
    update("c");
    EXPECT_EQ(view.statuses.back(), "   " + path("src/c") + " 25 KBytes/Sec");
    EXPECT_EQ(state.PreviousSpeed, 0);
}

} // namespace
} // namespace qm::test
