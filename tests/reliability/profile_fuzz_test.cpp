// Random and mutated profile files through the loader: no crash, bounded memory, and what
// loads saves back in the line format and loads again to the same table.
#include "heap_meter.h"
#include "profile_file.h"
#include "profile_table.h"
#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using namespace qm;
using namespace qm::test;

namespace {

using Cells = std::vector<std::vector<std::string>>;

Cells cellsOf(const ProfileTable& table) {
    Cells rows;
    for (int r = 0; r < table.RowCount(); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < ProfileTable::ColumnCount; ++c)
            row.push_back(table.cell(c, r));
        rows.push_back(std::move(row));
    }
    return rows;
}

/// The file format, built independently of the code under test: per data row the seven cells
/// each followed by "->", then CR LF.
std::string expectedFile(const Cells& rows) {
    std::string bytes;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        for (const std::string& cell : rows[r])
            bytes += cell + "->";
        bytes += "\r\n";
    }
    return bytes;
}

bool allEmpty(const std::vector<std::string>& row) {
    for (const std::string& cell : row)
        if (!cell.empty())
            return false;
    return true;
}

/// Memory allowed for loading `size` bytes: a small multiple of the input plus a constant.
constexpr std::size_t kMemoryFactor = 20;
constexpr std::size_t kMemoryConstant = 256 * 1024;

struct Outcome {
    Cells cells;
    std::size_t peakBytes = 0;
};

Outcome parse(const std::string& bytes) {
    Outcome out;
    const std::size_t before = HeapMeter::live();
    HeapMeter::resetPeak();
    {
        ProfileTable table;
        parseProfiles(table, bytes);
        out.peakBytes = HeapMeter::peak() - before;
        out.cells = cellsOf(table);
    }
    return out;
}

/// Checks every invariant that must hold for any input; stops at the first failure.
void checkInput(const std::string& bytes, const std::string& what) {
    SCOPED_TRACE(what + " (" + std::to_string(bytes.size()) + " bytes)");
    Outcome first = parse(bytes);
    ASSERT_LE(first.peakBytes, kMemoryFactor * bytes.size() + kMemoryConstant)
        << "loading used " << first.peakBytes << " bytes of heap";
    ASSERT_GE(first.cells.size(), 2u);

    // No cell carries a line end or the end-of-file mark; and the table has no more rows
    // than the input has lines.
    std::size_t lines = 1;
    for (char c : bytes)
        lines += c == '\n';
    ASSERT_LE(first.cells.size() - 1, lines);
    for (std::size_t r = 1; r < first.cells.size(); ++r)
        for (const std::string& cell : first.cells[r])
            ASSERT_EQ(cell.find_first_of(std::string("\r\n\x1a", 3)), std::string::npos);

    // Saving and loading again gives the same table, except that an all-empty row comes back
    // with "->" as its type (seven bare delimiters close only six fields).
    const std::string saved = expectedFile(first.cells);
    Outcome second = parse(saved);
    ASSERT_EQ(second.cells.size(), first.cells.size());
    for (std::size_t r = 1; r < first.cells.size(); ++r) {
        std::vector<std::string> want = first.cells[r];
        if (allEmpty(want))
            want[0] = "->";
        ASSERT_EQ(second.cells[r], want) << "row " << r;
    }
    // From then on saving and loading is a fixed point.
    ASSERT_EQ(expectedFile(parse(expectedFile(second.cells)).cells), expectedFile(second.cells));
}

/// Saves through the real SaveProfiles and loads through the real LoadProfiles.
void checkThroughFiles(const std::string& bytes, const std::string& folder) {
    writeFile(profileFilePath(folder), bytes);
    ProfileTable table;
    std::string kept;
    QObject::connect(&table, &ProfileTable::unloadedFileKept,
                     [&](const std::string& at) { kept = at; });
    LoadProfiles(table, folder);
    Cells loaded = cellsOf(table);
    SaveProfiles(table, folder);
    if (!kept.empty()) {
        // the file as it was, and only one copy: the folder serves every input
        ASSERT_EQ(kept, profileFilePath(folder) + ".unloaded");
        ASSERT_EQ(readFile(kept), bytes);
        std::filesystem::remove(kept);
    }
    const std::string saved = readFile(profileFilePath(folder));
    ASSERT_EQ(saved, expectedFile(loaded)) << "the saved file is not in the line format";
    ProfileTable again;
    LoadProfiles(again, folder);
    ASSERT_EQ(cellsOf(again).size(), loaded.size());
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::string next() {
        switch (pick(4)) {
        case 0:
            return randomBytes(pick(4096));
        case 1:
            return mutate(expectedFile(cleanTable()));
        case 2:
            return tokenSoup(pick(300));
        default:
            return mutate(tokenSoup(pick(60)));
        }
    }

    /// Tables whose cells hold no "->", no line ends and no Ctrl-Z, and whose type is not
    /// empty: these survive a save and a load unchanged.
    Cells cleanTable() {
        Cells rows(2 + pick(5), std::vector<std::string>(ProfileTable::ColumnCount));
        rows[0] = {"Type",     "Profile Name", "Source/Location", "Target/Destination",
                   "Last Run", "Status",       "Options"};
        for (std::size_t r = 1; r < rows.size(); ++r)
            for (int c = 0; c < ProfileTable::ColumnCount; ++c) {
                std::string cell;
                do {
                    cell = cleanCell();
                } while (c == 0 && cell.empty());
                rows[r][static_cast<std::size_t>(c)] = cell;
            }
        return rows;
    }

    std::size_t pick(std::size_t bound) {
        return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
    }

private:
    char interestingByte() {
        static const char bytes[] = {'-', '>', '\r', '\n', 26, 0, '\xff', '\x80', 'A', ' ', '/'};
        return pick(3) == 0 ? static_cast<char>(pick(256)) : bytes[pick(sizeof bytes)];
    }

    std::string randomBytes(std::size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = interestingByte();
        return bytes;
    }

    std::string cleanCell() {
        using namespace std::string_view_literals;
        // views, so that a word may hold a NUL (a pointer into a temporary string would not
        // outlive this initialisation)
        static constexpr std::string_view words[] = {"BackUP",
                                                     "Syncro",
                                                     "Daily",
                                                     "/home/user/Work",
                                                     "/media/Store",
                                                     "NEVER",
                                                     "Pending",
                                                     "Done",
                                                     "Busy",
                                                     "ERROR",
                                                     "NPAODF",
                                                     "APAODN",
                                                     "-",
                                                     ">",
                                                     "a-",
                                                     ">b",
                                                     "x\x01\xfe",
                                                     "nul\0in"sv,
                                                     "12/7/26 3:05:08 pm"};
        std::string cell;
        for (std::size_t n = pick(3); n > 0; --n)
            cell += words[pick(std::size(words))];
        // Glue of words may form the delimiter ("a-" then ">b"); take it out again.
        for (std::size_t at; (at = cell.find("->")) != std::string::npos;)
            cell.erase(at, 1);
        return cell;
    }

    std::string tokenSoup(std::size_t count) {
        static const char* tokens[] = {"->", "-",        ">",      "\r\n",   "\n",
                                       "\r", "\x1a",     "BackUP", "NPAODF", "->->->->->->->",
                                       "x",  "\xc3\x28", " "};
        std::string bytes;
        for (std::size_t i = 0; i < count; ++i) {
            if (pick(8) == 0)
                bytes += interestingByte();
            else
                bytes += tokens[pick(std::size(tokens))];
        }
        return bytes;
    }

    std::string mutate(std::string bytes) {
        for (std::size_t n = 1 + pick(6); n > 0; --n) {
            const std::size_t at = pick(bytes.size() + 1);
            switch (pick(5)) {
            case 0: // flip a byte
                if (!bytes.empty())
                    bytes[pick(bytes.size())] = interestingByte();
                break;
            case 1: // insert a special token
                bytes.insert(at, tokenSoup(1 + pick(3)));
                break;
            case 2: // delete a range
                bytes.erase(at, pick(16));
                break;
            case 3: // duplicate a range
                if (at < bytes.size())
                    bytes.insert(at, bytes.substr(at, pick(64)));
                break;
            default: // truncate
                bytes.resize(at);
                break;
            }
        }
        return bytes;
    }

    std::mt19937_64 rng_;
};

TEST(ProfileFuzz, CleanTablesSurviveSaveAndLoad) {
    Generator gen(7);
    TempFolder folder("fuzz-clean");
    for (int i = 0; i < 200; ++i) {
        Cells rows = gen.cleanTable();
        ProfileTable table;
        table.setRowCount(static_cast<int>(rows.size()));
        for (std::size_t r = 1; r < rows.size(); ++r)
            for (int c = 0; c < ProfileTable::ColumnCount; ++c)
                table.setCell(c, static_cast<int>(r), rows[r][static_cast<std::size_t>(c)]);
        SaveProfiles(table, folder.path());
        ASSERT_EQ(readFile(profileFilePath(folder.path())), expectedFile(rows));
        ProfileTable loaded;
        LoadProfiles(loaded, folder.path());
        Cells back = cellsOf(loaded);
        ASSERT_EQ(back.size(), rows.size());
        for (std::size_t r = 1; r < rows.size(); ++r)
            ASSERT_EQ(back[r], rows[r]) << "row " << r;
    }
}

// The seeded random run: QM_FUZZ_SECONDS sets the budget, QM_FUZZ_SEED the seed.
TEST(ProfileFuzz, RandomAndMutatedFiles) {
    const std::int64_t seconds = envNumber("QM_FUZZ_SECONDS", 3);
    const auto seed = static_cast<std::uint64_t>(envNumber("QM_FUZZ_SEED", 20261208));
    std::printf("fuzz seed %llu, %lld s\n", static_cast<unsigned long long>(seed),
                static_cast<long long>(seconds));
    Generator gen(seed);
    TempFolder folder("fuzz");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::int64_t inputs = 0;
    while (std::chrono::steady_clock::now() < end) {
        const std::string bytes = gen.next();
        const std::string what =
            "input " + std::to_string(inputs) + " of seed " + std::to_string(seed);
        checkInput(bytes, what);
        if (inputs % 32 == 0)
            checkThroughFiles(bytes, folder.path());
        ++inputs;
        if (testing::Test::HasFatalFailure()) {
            writeFile(folder.path() + "/../qm-fuzz-failing-input", bytes);
            FAIL() << what << " failed; kept beside the fuzz folder as qm-fuzz-failing-input";
        }
    }
    recordFigure("fuzz_inputs", inputs);
    EXPECT_GT(inputs, 0);
}

// Large and degenerate files, each once: megabyte lines, millions of delimiters, long runs of
// empty lines, lone CRs and Ctrl-Z. QM_FUZZ_SCALE multiplies the sizes (long mode).
TEST(ProfileFuzz, HugeAndDegenerateFiles) {
    const auto scale =
        static_cast<std::size_t>(std::max<std::int64_t>(1, envNumber("QM_FUZZ_SCALE", 1)));
    const std::size_t mb = (1 << 18) * scale;
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"one line of megabytes", std::string(8 * mb, 'x')});
    {
        std::string line(8 * mb, 'y');
        line[4 * mb] = 26;
        cases.push_back({"long line with Ctrl-Z in the middle", line + "\r\nBackUP->"});
    }
    {
        std::string many;
        for (std::size_t i = 0; i < 2 * mb; ++i)
            many += "->";
        cases.push_back({"half a million delimiters on one line (millions in long mode)", many});
    }
    cases.push_back({"a quarter million empty lines, then a field", std::string(mb, '\n') + "x->"});
    cases.push_back({"CR LF lines, then a field", [&] {
                         std::string s;
                         for (std::size_t i = 0; i < mb / 2; ++i)
                             s += "\r\n";
                         return s + "x->";
                     }()});
    {
        std::string s;
        for (std::size_t i = 0; i < mb / 2; ++i)
            s += "a->\r\n";
        cases.push_back({"many one-field lines", s});
    }
    {
        std::string s;
        for (std::size_t i = 0; i < mb / 4; ++i)
            s += "BackUP->Daily->/src->/dst->NEVER->Pending->NPAODF->\r\n";
        cases.push_back({"tens of thousands of full profiles", s});
    }
    cases.push_back({"lone CRs", std::string(mb, '\r') + "z->"});
    cases.push_back({"NUL bytes", std::string(mb, '\0') + std::string("->\0->", 5)});
    cases.push_back({"Ctrl-Z first", std::string("\x1a") + "BackUP->a->b->c->d->e->f->\r\n"});
    {
        std::string s;
        for (std::size_t i = 0; i < mb; ++i)
            s += static_cast<char>((i * 2654435761u) >> 13);
        cases.push_back({"hashed bytes", s});
    }
    std::int64_t count = 0;
    for (const Case& c : cases) {
        checkInput(c.bytes, c.name);
        if (testing::Test::HasFatalFailure())
            return;
        ++count;
    }
    recordFigure("fuzz_inputs", count);
}

} // namespace
