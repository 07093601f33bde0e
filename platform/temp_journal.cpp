#include "temp_journal.h"

#include "folder_handle.h"
#include "folders.h"
#include "io_error.h"
#include "listing.h"
#include "pending_io.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <pwd.h>
#include <random>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>

namespace qm {

/// A time a copy must still be given: the one it must end with, its size, and when it was
/// written down (the copy takes its name a moment later).
struct PendingTime {
    timespec mtime{};
    std::uint64_t size = 0;
    std::int64_t written = 0; ///< seconds
};

namespace {

// Journals of an older version were named "pending-..." and held bare paths: they are
// never opened, and left as they are.
constexpr char StatePrefix[] = "journal-";
constexpr char TreePrefix[] = ".quillmark-journal-";
constexpr std::size_t TreePrefixLength = sizeof(TreePrefix) - 1;
constexpr std::size_t HexDigits = 16;
constexpr char Magic[] = "quillmark temporaries 1\n";
/// A journal holds what a few batches have under way; anything larger is none of ours and
/// is never read.
constexpr std::size_t MaxJournalBytes = 8u << 20;
constexpr std::size_t MaxPathBytes = PATH_MAX;
/// An entry's line: two paths, each byte of them escaped to at most 3, and a few numbers.
constexpr std::size_t MaxLineBytes = 2 * 3 * MaxPathBytes + 128;
/// How far apart two times may be and still be the same on every medium (FAT keeps two
/// seconds), and how long after its entry a copy may have taken its name.
constexpr std::int64_t TimeGrain = 2;
constexpr std::int64_t NamingDelay = 10;
/// Live entries before record() looks which are gone already: a link's temporary is renamed
/// at once, yet stays written down until its batch ends.
constexpr std::size_t SettleEvery = 2048;
constexpr int JournalFailureCode = 1007;
constexpr int PathTooLongCode = 206;

/// An owned descriptor.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string randomHex() {
    thread_local std::mt19937_64 generator{[] {
        std::random_device random;
        return (static_cast<std::uint64_t>(random()) << 32) | random();
    }()};
    const std::uint64_t bits = generator();
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4)
        text += digits[(bits >> shift) & 15];
    return text;
}

std::string newJournalName(bool inTree) {
    if (inTree)
        return TreePrefix + randomHex();
    return StatePrefix + std::to_string(::getpid()) + "-" + randomHex();
}

/// This machine, so that a journal in a home or on a stick shared with another one is
/// never taken for one of ours: its paths mean other folders there.
const std::string& machineId() {
    static const std::string id = [] {
        for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            const Descriptor fd(::open(file, O_RDONLY | O_CLOEXEC));
            char text[65] = {};
            if (fd && ::read(fd.get(), text, sizeof text - 1) > 0) {
                std::string line(text);
                line = line.substr(0, line.find('\n'));
                if (!line.empty())
                    return line;
            }
        }
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        return std::string(host);
    }();
    return id;
}

/// Bytes a field may not hold as they are: blanks and line breaks (the separators), other
/// control bytes and the escape itself. Each becomes "\" and two hex digits.
bool needsEscape(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '\\';
}

void appendEscaped(std::string& out, const std::string& text) {
    static constexpr char digits[] = "0123456789abcdef";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (needsEscape(c)) {
            out += '\\';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

/// The text of an escaped field; none for anything appendEscaped never writes.
std::optional<std::string> unescaped(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c != '\\') {
            if (needsEscape(c))
                return std::nullopt;
            text += field[i];
            continue;
        }
        if (i + 2 >= field.size())
            return std::nullopt;
        const int high = hexValue(field[i + 1]);
        const int low = hexValue(field[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        const auto byte = static_cast<unsigned char>(high * 16 + low);
        if (byte == 0 || !needsEscape(byte))
            return std::nullopt;
        text += static_cast<char>(byte);
        i += 2;
    }
    return text;
}

std::string header() {
    std::string text = Magic;
    text += "machine ";
    appendEscaped(text, machineId());
    return text + '\n';
}

/// One temporary, or one copy whose time is still to be set: the root of its tree as the
/// user gave it, its path below that root, and the type of the file system the root was on
/// (0: unknown).
struct Entry {
    std::string root;
    std::string relative;
    unsigned long long fsType = 0;
    std::optional<PendingTime> time;
};

constexpr std::string_view TimeKeyword = "time";

std::string entryLine(const Entry& entry) {
    char type[24];
    std::snprintf(type, sizeof type, "%llx ", entry.fsType);
    std::string line = entry.time ? std::string(TimeKeyword) + ' ' + type : std::string(type);
    appendEscaped(line, entry.root);
    line += ' ';
    appendEscaped(line, entry.relative);
    if (entry.time)
        line += ' ' + std::to_string(entry.time->mtime.tv_sec) + ' ' +
                std::to_string(entry.time->mtime.tv_nsec) + ' ' + std::to_string(entry.time->size) +
                ' ' + std::to_string(entry.time->written);
    return line + '\n';
}

/// Names separated by single "/", none of them "." or "..".
bool isPlainRelative(const std::string& path) {
    if (path.empty() || path.size() > MaxPathBytes)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name(path.data() + start, end - start);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (end == path.size())
            return true;
        start = end + 1;
    }
}

/// An absolute path in normal form without "." or "..".
bool isRootText(const std::string& root) {
    return root == "/" || (root.size() <= MaxPathBytes && root.starts_with('/') &&
                           isPlainRelative(root.substr(1)));
}

template <typename Number> bool parsedNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

/// "<type> <root> <relative>" for a temporary; "time <type> <root> <relative> <seconds>
/// <nanoseconds> <size> <written>" for a copy's pending time.
std::optional<Entry> parsedEntry(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos || fields.size() > 8)
            break;
        start = end + 1;
    }
    const bool isTime = fields.size() == 8 && fields[0] == TimeKeyword;
    if (!isTime && fields.size() != 3)
        return std::nullopt;
    const std::size_t first = isTime ? 1 : 0;
    const std::string_view type = fields[first];
    if (type.empty() || type.size() > 16)
        return std::nullopt;
    Entry entry;
    for (const char c : type) {
        const int digit = hexValue(c);
        if (digit < 0)
            return std::nullopt;
        entry.fsType = entry.fsType * 16 + static_cast<unsigned>(digit);
    }
    auto root = unescaped(fields[first + 1]);
    auto relative = unescaped(fields[first + 2]);
    if (!root || !relative || !isRootText(*root) || !isPlainRelative(*relative))
        return std::nullopt;
    entry.root = std::move(*root);
    entry.relative = std::move(*relative);
    if (isTime) {
        PendingTime time;
        if (!parsedNumber(fields[4], time.mtime.tv_sec) ||
            !parsedNumber(fields[5], time.mtime.tv_nsec) || time.mtime.tv_nsec < 0 ||
            time.mtime.tv_nsec >= 1000000000 || !parsedNumber(fields[6], time.size) ||
            !parsedNumber(fields[7], time.written))
            return std::nullopt;
        entry.time = time;
    }
    return entry;
}

struct Line {
    Entry entry;
    std::string_view text; ///< as written, with its line break
};

/// The entries of a journal's bytes; none when they are not a journal of ours from this
/// machine. An unfinished last line (a write cut short) is no entry.
std::optional<std::vector<Line>> parsedJournal(std::string_view bytes) {
    const std::string head = header();
    if (!bytes.starts_with(head))
        return std::nullopt;
    std::vector<Line> lines;
    for (std::size_t start = head.size(); start < bytes.size();) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos)
            break;
        if (end - start > MaxLineBytes)
            return std::nullopt;
        auto entry = parsedEntry(bytes.substr(start, end - start));
        if (!entry)
            return std::nullopt;
        lines.push_back({std::move(*entry), bytes.substr(start, end + 1 - start)});
        start = end + 1;
    }
    return lines;
}

/// Writes all of `bytes`; the errno of the failure, 0 when done.
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t done = ::write(fd, bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return errno;
        if (done == 0)
            return ENOSPC;
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return 0;
}

/// True while `name` in `folder` still is the open file `fd`: nothing was put in its place.
bool namesFile(int folder, const std::string& name, int fd) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 &&
           ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int lockExclusive(int fd, bool wait) {
    int done;
    do {
        done = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (done != 0 && errno == EINTR);
    return done == 0 ? 0 : errno;
}

unsigned long long fileSystemType(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 ? static_cast<unsigned long long>(fs.f_type) : 0;
}

std::string absolutePath(const std::string& path) {
    if (path.starts_with('/'))
        return path;
    char here[PATH_MAX];
    return ::getcwd(here, sizeof here) ? joinPath(here, path) : path;
}

/// True when `path` is `root` or lies below it (both normal).
bool isWithin(const std::string& path, const std::string& root) {
    if (root == "/")
        return path.starts_with('/');
    return path == root || (path.starts_with(root) && path[root.size()] == '/');
}

/// One journal file, open and locked, in a folder its owner holds open.
class JournalFile {
public:
    JournalFile(int folder, std::string name, Descriptor fd, bool inTree, std::size_t size)
        : folder_(folder), name_(std::move(name)), fd_(std::move(fd)), inTree_(inTree),
          size_(size) {}

    /// A fresh journal with its header. The errno of the failure, 0 when made.
    static int create(int folder, bool inTree, std::unique_ptr<JournalFile>& made) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            const std::string name = newJournalName(inTree);
            Descriptor fd(::openat(folder, name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND,
                                   0600));
            if (!fd && errno == EEXIST)
                continue;
            if (!fd)
                return errno;
            // Empty until its header is written: a recovery leaves an empty file alone, so
            // waiting for the lock a moment is safe.
            const std::string head = header();
            int err = lockExclusive(fd.get(), true);
            if (err == 0)
                err = writeAll(fd.get(), head);
            if (err != 0) {
                ::unlinkat(folder, name.c_str(), 0);
                return err;
            }
            made = std::make_unique<JournalFile>(folder, name, std::move(fd), inTree, head.size());
            return 0;
        }
        return EEXIST;
    }

    bool inTree() const { return inTree_; }

    /// Adds lines at the end. On failure whatever was written of them is cut off again,
    /// so no later line follows a broken one; EFBIG past the size bound.
    int append(const std::string& lines) {
        if (size_ + lines.size() > MaxJournalBytes)
            return EFBIG;
        const int err = writeAll(fd_.get(), lines);
        if (err == 0) {
            size_ += lines.size();
            return 0;
        }
        if (::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0)
            size_ = MaxJournalBytes; // never written to again: its end may hold half a line
        return err;
    }

    /// Holds `lines` alone from now on: a new journal is written and renamed over this one,
    /// so a kill meanwhile leaves either whole. The errno of the failure, 0 when done.
    int replace(const std::string& lines) {
        const std::string name = newJournalName(inTree_);
        Descriptor fd(::openat(folder_, name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND,
                               0600));
        if (!fd)
            return errno;
        const std::string bytes = header() + lines;
        int err = lockExclusive(fd.get(), true);
        if (err == 0)
            err = writeAll(fd.get(), bytes);
        if (err == 0 && ::renameat(folder_, name.c_str(), folder_, name_.c_str()) != 0)
            err = errno;
        if (err != 0) {
            ::unlinkat(folder_, name.c_str(), 0);
            return err;
        }
        fd_ = std::move(fd);
        size_ = bytes.size();
        return 0;
    }

    /// Holds no entry from now on.
    void empty() {
        const std::size_t head = header().size();
        if (size_ != head && ::ftruncate(fd_.get(), static_cast<off_t>(head)) == 0)
            size_ = head;
    }

    /// Removes the file, unless something else has its name by now.
    void remove() {
        if (namesFile(folder_, name_, fd_.get()))
            ::unlinkat(folder_, name_.c_str(), 0);
    }

private:
    int folder_;
    std::string name_;
    Descriptor fd_;
    bool inTree_;
    std::size_t size_;
};

/// Where an entry's temporary stands, or what became of it.
enum class Outcome {
    Gone,    ///< confirmed not there (or something there that is not ours)
    Present, ///< there, left as it is
    Removed,
    Waiting, ///< cannot be told now: its medium absent or failing
};

/// Looks up entries, opening each root and the last folder once.
class EntryFolders {
public:
    /// What became of `entry`'s temporary; it is removed when `isOurs` is given and accepts
    /// its name.
    Outcome visit(const Entry& entry, bool (*isOurs)(const std::string&)) {
        const FolderHandle* folder = nullptr;
        std::string name;
        if (const auto outcome = locate(entry, folder, name))
            return *outcome;
        struct stat st {};
        if (::fstatat(folder->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Outcome::Gone : Outcome::Waiting;
        if (!isOurs)
            return Outcome::Present;
        // Ours are only ever files or links; as anyone but root, made by this user.
        const uid_t self = ::geteuid();
        if ((!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) || !isOurs(name) ||
            (self != 0 && st.st_uid != self))
            return Outcome::Gone;
        if (::unlinkat(folder->fd(), name.c_str(), 0) == 0)
            return Outcome::Removed;
        return errno == ENOENT ? Outcome::Gone : Outcome::Waiting;
    }

    /// What is left of `entry`'s pending time: Gone once the copy has it (or is no longer
    /// the copy: gone, another size, or changed since it took its name), else Present. With
    /// `finish`, a copy that still has the time of its naming is given it (Removed).
    Outcome visitTime(const Entry& entry, bool finish) {
        const FolderHandle* folder = nullptr;
        std::string name;
        if (const auto outcome = locate(entry, folder, name))
            return *outcome;
        struct stat st {};
        if (::fstatat(folder->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Outcome::Gone : Outcome::Waiting;
        const PendingTime& time = *entry.time;
        if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != time.size ||
            std::llabs(st.st_mtim.tv_sec - time.mtime.tv_sec) < TimeGrain)
            return Outcome::Gone;
        if (!finish)
            return Outcome::Present;
        // A time far from the naming's is the user's own change since: left as it is.
        if (st.st_mtim.tv_sec < time.written - TimeGrain ||
            st.st_mtim.tv_sec > time.written + NamingDelay)
            return Outcome::Gone;
        if (folder->setTime(name, time.mtime))
            return Outcome::Removed;
        takeIoResult();
        return Outcome::Waiting;
    }

    /// The root's handle, opened at first need (see isOpen()).
    const FolderHandle& root(const std::string& path) { return rootFor(path).handle; }

private:
    struct Root {
        FolderHandle handle;
        bool open = false;
        unsigned long long fsType = 0;
    };
    /// The open folder and the name of `entry`'s file, or what became of it when there is
    /// none to look at.
    std::optional<Outcome> locate(const Entry& entry, const FolderHandle*& folder,
                                  std::string& name) {
        Root& root = rootFor(entry.root);
        // Another file system there now: the medium is not mounted, its folder is bare.
        if (!root.open || (entry.fsType != 0 && root.fsType != entry.fsType))
            return Outcome::Waiting;
        const std::size_t slash = entry.relative.find_last_of('/');
        name = slash == std::string::npos ? entry.relative : entry.relative.substr(slash + 1);
        folder = &root.handle;
        if (slash == std::string::npos)
            return std::nullopt;
        const std::string below = entry.relative.substr(0, slash);
        if (lastRoot_ != entry.root || lastBelow_ != below) {
            lastRoot_ = entry.root;
            lastBelow_ = below;
            lastMissing_ = false;
            if (!last_.openBeneath(root.handle, below, joinPath(entry.root, below)))
                // 3: no such folder, or a file in its place; a link there or a failing
                // medium cannot tell
                lastMissing_ = takeIoFailure().code == 3;
        }
        if (!last_.isOpen())
            return lastMissing_ ? Outcome::Gone : Outcome::Waiting;
        folder = &last_;
        return std::nullopt;
    }
    Root& rootFor(const std::string& path) {
        auto [at, fresh] = roots_.try_emplace(path);
        if (fresh) {
            at->second.open = at->second.handle.openRoot(path);
            takeIoResult();
            if (at->second.open)
                at->second.fsType = fileSystemType(at->second.handle.fd());
        }
        return at->second;
    }
    std::map<std::string, Root> roots_;
    FolderHandle last_;
    std::string lastRoot_;
    std::string lastBelow_;
    bool lastMissing_ = false;
};

/// Opens the state folder if it is this user's own and no one else may write in it (a
/// shared one could hold anybody's journals); with `make`, makes it first.
bool openStateFolder(const std::string& path, bool make, FolderHandle& folder, std::string& why) {
    if (path.empty()) {
        why = "no state folder is known (neither XDG_STATE_HOME nor a home)";
        return false;
    }
    if (make) {
        const std::size_t slash = path.find_last_of('/');
        try {
            if (slash != std::string::npos && slash > 0)
                makeFolders(path.substr(0, slash));
        } catch (const std::exception& error) {
            why = "the state folder " + path + " cannot be made: " + error.what();
            return false;
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "the state folder " + path + " cannot be made: " + std::strerror(errno);
            return false;
        }
    }
    if (!folder.openRoot(path)) {
        takeIoResult();
        why = "the state folder " + path + " cannot be opened";
        return false;
    }
    struct stat st {};
    if (::fstat(folder.fd(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        folder.close();
        why = "the state folder " + path + " is not this user's alone";
        return false;
    }
    return true;
}

/// The names in an open folder that `accept` takes.
std::vector<std::string> namesIn(const FolderHandle& folder, bool (*accept)(const std::string&)) {
    std::vector<std::string> names;
    FolderListing listing(folder, ListingDetail::KindOnly);
    ListEntry entry;
    while (listing.next(entry))
        if (entry.kind == EntryKind::File && accept(entry.name))
            names.push_back(entry.name);
    return names;
}

bool isStateJournalName(const std::string& name) {
    return name.starts_with(StatePrefix) && name.size() <= 64;
}

/// Recovers one ended journal `name` in `folder`. `onlyRoot`: a journal in a tree's root,
/// which holds that root's entries and nothing else.
void recoverJournal(const FolderHandle& folder, const std::string& name, bool inTree,
                    const std::string* onlyRoot, const std::vector<std::string>& roots,
                    bool (*isOurs)(const std::string&), EntryFolders& folders,
                    RecoveryCount& count) {
    Descriptor fd(::openat(folder.fd(), name.c_str(),
                           O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return;
    struct stat st {};
    // Only this user's own regular files of a journal's size; an empty one may be a
    // journal being set up.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1 || st.st_size <= 0 ||
        static_cast<std::size_t>(st.st_size) > MaxJournalBytes)
        return;
    // locked: its run is still going (this process's own included)
    if (lockExclusive(fd.get(), false) != 0 || !namesFile(folder.fd(), name, fd.get()))
        return;
    // one byte more than it had: a journal that grew meanwhile is refused below
    std::string bytes(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t done =
            ::pread(fd.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return;
        if (done == 0)
            break;
        got += static_cast<std::size_t>(done);
    }
    if (got >= bytes.size())
        return;
    bytes.resize(got);
    const auto lines = parsedJournal(bytes);
    if (!lines)
        return;
    if (onlyRoot)
        for (const Line& line : *lines)
            if (line.entry.root != *onlyRoot)
                return;

    std::string kept;
    bool changed = false;
    for (const Line& line : *lines) {
        bool ours = false;
        for (const std::string& root : roots)
            ours = ours || isWithin(line.entry.root, root);
        const Outcome outcome = !ours             ? Outcome::Present
                                : line.entry.time ? folders.visitTime(line.entry, true)
                                                  : folders.visit(line.entry, isOurs);
        if (outcome == Outcome::Waiting)
            ++count.waiting;
        if (outcome == Outcome::Removed)
            ++(line.entry.time ? count.timesSet : count.removed);
        if (outcome == Outcome::Gone || outcome == Outcome::Removed)
            changed = true;
        else
            kept += line.text;
    }
    JournalFile journal(folder.fd(), name, std::move(fd), inTree, got);
    if (kept.empty())
        journal.remove();
    else if (changed)
        (void)journal.replace(kept); // failing, it still names all it did: none is lost
}

} // namespace

std::string tempJournalFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return joinPath(state, "quillmark");
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && variable[0] == '/') {
        home = variable;
    } else {
        // a service or `env -i` has no HOME; the user database still knows the home
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return home.empty() ? std::string() : joinPath(home, ".local/state/quillmark");
}

bool isTreeJournalName(const std::string& name) {
    if (name.size() != TreePrefixLength + HexDigits || !name.starts_with(TreePrefix))
        return false;
    for (std::size_t i = TreePrefixLength; i < name.size(); ++i)
        if (hexValue(name[i]) < 0)
            return false;
    return true;
}

std::string normalRoot(const std::string& path) {
    std::string normal;
    for (const char c : path)
        if (c != '/' || !normal.ends_with('/'))
            normal += c;
    if (normal.size() > 1 && normal.ends_with('/'))
        normal.pop_back();
    return normal;
}

struct TempJournal::State {
    /// A root and, once needed, the journal in it.
    struct Tree {
        std::string root;
        FolderHandle handle;
        bool open = false;
        unsigned long long fsType = 0;
        std::unique_ptr<JournalFile> file;
        bool failed = false;
        int err = 0; ///< why its journal failed
        std::string why;
    };
    struct Live {
        Entry entry;
        JournalFile* file;
    };

    std::string stateFolder;
    std::vector<std::string> roots;
    FolderHandle stateDir;
    std::unique_ptr<JournalFile> stateFile;
    bool stateTried = false;
    bool stateFailed = false;
    std::string stateWhy;
    std::vector<std::unique_ptr<Tree>> trees;
    std::vector<Live> live;

    Tree& treeFor(const std::string& root) {
        for (auto& tree : trees)
            if (tree->root == root)
                return *tree;
        auto& tree = *trees.emplace_back(std::make_unique<Tree>());
        tree.root = root;
        tree.open = tree.handle.openRoot(root);
        takeIoResult();
        if (tree.open)
            tree.fsType = fileSystemType(tree.handle.fd());
        return tree;
    }

    JournalFile* stateJournal() {
        if (!stateTried) {
            stateTried = true;
            if (!openStateFolder(stateFolder, true, stateDir, stateWhy)) {
                stateFailed = true;
            } else if (const int err = JournalFile::create(stateDir.fd(), false, stateFile);
                       err != 0) {
                stateWhy = "the state folder " + stateFolder + ": " + std::strerror(err);
                stateFailed = true;
            }
        }
        return stateFailed ? nullptr : stateFile.get();
    }

    JournalFile* treeJournal(Tree& tree) {
        if (tree.failed)
            return nullptr;
        if (!tree.file) {
            const int err =
                tree.open ? JournalFile::create(tree.handle.fd(), true, tree.file) : ENOENT;
            if (err != 0) {
                tree.why = "the folder " + tree.root + ": " + std::strerror(err);
                tree.failed = true;
                tree.err = err;
                return nullptr;
            }
        }
        return tree.file.get();
    }

    /// Writes each file's entries anew after some of them went: a journal that names none
    /// is emptied, or removed from the user's tree.
    void rewrite(const std::vector<JournalFile*>& touched) {
        for (JournalFile* file : touched) {
            std::string lines;
            for (const Live& entry : live)
                if (entry.file == file)
                    lines += entryLine(entry.entry);
            if (!lines.empty()) {
                (void)file->replace(lines); // failing, it names more than it must: harmless
                continue;
            }
            if (!file->inTree()) {
                file->empty();
                continue;
            }
            for (auto& tree : trees)
                if (tree->file.get() == file) {
                    file->remove();
                    tree->file.reset();
                }
        }
    }
};

TempJournal::TempJournal(std::string stateFolder, std::vector<std::string> roots)
    : state_(std::make_unique<State>()) {
    state_->stateFolder = std::move(stateFolder);
    for (const std::string& root : roots)
        if (!root.empty())
            state_->roots.push_back(normalRoot(absolutePath(root)));
}

TempJournal::~TempJournal() {
    settle();
    // a journal that still names a temporary stays, unlocked, for the next run
    State& s = *state_;
    const auto names = [&s](const JournalFile* file) {
        return std::any_of(s.live.begin(), s.live.end(),
                           [file](const State::Live& entry) { return entry.file == file; });
    };
    if (s.stateFile && !names(s.stateFile.get()))
        s.stateFile->remove();
    for (auto& tree : s.trees)
        if (tree->file && !names(tree->file.get()))
            tree->file->remove();
}

std::size_t TempJournal::size() const {
    return state_->live.size();
}

std::pair<std::string, std::string> TempJournal::place(const FolderHandle& folder,
                                                       const std::string& name) const {
    const std::string where = normalRoot(absolutePath(folder.path()));
    std::string root;
    for (const std::string& candidate : state_->roots)
        if (candidate.size() > root.size() && isWithin(where, candidate))
            root = candidate;
    if (root.empty())
        root = where;
    std::string below = where.size() > root.size() ? where.substr(root.size()) : std::string();
    if (below.starts_with('/'))
        below.erase(0, 1);
    return {root, below.empty() ? name : below + "/" + name};
}

bool TempJournal::record(const FolderHandle& folder, const std::string& name) {
    if (!folder.isOpen())
        return true; // nothing can be made there: its create fails as the open did
    return write(folder, name, nullptr);
}

bool TempJournal::recordTime(const FolderHandle& folder, const std::string& name,
                             const timespec& mtime, std::uint64_t size) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const PendingTime time{mtime, size, now.tv_sec};
    if (folder.isOpen() && write(folder, name, &time))
        return true;
    takeIoResult();
    return false;
}

bool TempJournal::write(const FolderHandle& folder, const std::string& name,
                        const PendingTime* time) {
    State& s = *state_;
    if (s.live.size() >= SettleEvery)
        settle();
    auto [root, relative] = place(folder, name);
    State::Tree& tree = s.treeFor(root);
    Entry entry{root, std::move(relative), tree.fsType, {}};
    if (time)
        entry.time = *time;
    if (root.size() > MaxPathBytes || !isPlainRelative(entry.relative)) {
        // the file system would refuse a path this long as well: only this file fails
        failure_ = "the path is too long to be written down: " + folder.entryPath(name);
        setPendingIo(IoFailure{PathTooLongCode, FailureReach::ThisPath});
        return false;
    }
    const std::string line = entryLine(entry);

    // The state folder first; where it cannot be used or refuses a write, the tree's root.
    int stateErr = 0;
    if (JournalFile* file = s.stateJournal()) {
        stateErr = file->append(line);
        if (stateErr == 0) {
            s.live.push_back({std::move(entry), file});
            return true;
        }
        // past the size bound it may take names again once settled; a failed write is final
        if (stateErr != EFBIG) {
            s.stateFailed = true;
            s.stateWhy = "the state folder " + s.stateFolder + ": " + std::strerror(stateErr);
        }
    }
    int treeErr = 0;
    if (JournalFile* file = s.treeJournal(tree)) {
        treeErr = file->append(line);
        if (treeErr == 0) {
            s.live.push_back({std::move(entry), file});
            return true;
        }
        if (treeErr != EFBIG) {
            tree.failed = true;
            tree.why = "the folder " + root + ": " + std::strerror(treeErr);
            tree.err = treeErr;
        }
    } else {
        treeErr = tree.err;
    }
    const auto full = [](int err, const std::string& path) {
        return std::string("the journal in ") + path + " is full (" + std::strerror(err) + ")";
    };
    const std::string stateText = stateErr == EFBIG ? full(stateErr, s.stateFolder) : s.stateWhy;
    const std::string treeText = treeErr == EFBIG ? full(treeErr, root) : tree.why;
    failure_ = "The name of a temporary could not be written down, neither in " + stateText +
               ", nor in " + treeText;
    // Refused at one place (no permission in the root), this file fails as its temporary
    // would have; a full, read-only or failing medium ends the run.
    const IoFailure cause = failureFromErrno(treeErr, false, joinPath(root, "x"));
    if (cause.concernsOnlyThisPath() && treeErr != EFBIG)
        setPendingIo(cause);
    else
        setPendingIo(IoFailure{JournalFailureCode, FailureReach::Medium});
    return false;
}

void TempJournal::withdraw(const FolderHandle& folder, const std::string& name, bool onlyIfAbsent,
                           bool time) noexcept {
    State& s = *state_;
    try {
        struct stat st {};
        if (!folder.isOpen() ||
            (onlyIfAbsent && (::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
                              errno != ENOENT)))
            return;
        const auto [root, relative] = place(folder, name);
        for (auto entry = s.live.rbegin(); entry != s.live.rend(); ++entry)
            if (entry->entry.time.has_value() == time && entry->entry.root == root &&
                entry->entry.relative == relative) {
                JournalFile* file = entry->file;
                s.live.erase(std::next(entry).base());
                s.rewrite({file});
                return;
            }
    } catch (const std::exception&) {
        // out of memory: the journal names one more than it should, which a recovery checks
    }
}

void TempJournal::withdrawTaken(const FolderHandle& folder, const std::string& name) noexcept {
    withdraw(folder, name, false, false);
}

void TempJournal::withdrawTime(const FolderHandle& folder, const std::string& name) noexcept {
    withdraw(folder, name, false, true);
}

void TempJournal::withdrawIfAbsent(const FolderHandle& folder, const std::string& name) noexcept {
    withdraw(folder, name, true, false);
}

void TempJournal::settle() noexcept {
    State& s = *state_;
    if (s.live.empty())
        return;
    try {
        EntryFolders folders;
        std::vector<JournalFile*> touched;
        std::vector<State::Live> kept;
        for (State::Live& entry : s.live) {
            const Outcome outcome = entry.entry.time ? folders.visitTime(entry.entry, false)
                                                     : folders.visit(entry.entry, nullptr);
            if (outcome == Outcome::Gone) {
                if (std::find(touched.begin(), touched.end(), entry.file) == touched.end())
                    touched.push_back(entry.file);
            } else {
                kept.push_back(std::move(entry));
            }
        }
        s.live = std::move(kept);
        s.rewrite(touched);
    } catch (const std::exception&) {
        // out of memory: every entry stays written down
    }
}

RecoveryCount TempJournal::recoverEnded(const std::string& stateFolder,
                                        const std::vector<std::string>& roots,
                                        bool (*isOurs)(const std::string& name)) {
    RecoveryCount count;
    std::vector<std::string> ownRoots;
    for (const std::string& root : roots) {
        if (root.empty())
            continue;
        const std::string normal = normalRoot(absolutePath(root));
        if (std::find(ownRoots.begin(), ownRoots.end(), normal) == ownRoots.end())
            ownRoots.push_back(normal);
    }
    if (ownRoots.empty())
        return count;
    try {
        EntryFolders folders;
        FolderHandle state;
        std::string why;
        if (openStateFolder(stateFolder, false, state, why))
            for (const std::string& name : namesIn(state, isStateJournalName))
                recoverJournal(state, name, false, nullptr, ownRoots, isOurs, folders, count);
        for (const std::string& root : ownRoots) {
            const FolderHandle& folder = folders.root(root);
            if (folder.isOpen())
                for (const std::string& name : namesIn(folder, isTreeJournalName))
                    recoverJournal(folder, name, true, &root, ownRoots, isOurs, folders, count);
        }
    } catch (const std::exception&) {
        // out of memory: what is left waits for the next run
    }
    return count;
}

} // namespace qm
