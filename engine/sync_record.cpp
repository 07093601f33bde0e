#include "sync_record.h"

#include "folders.h"
#include "text_file.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>

namespace qm {

namespace {

constexpr char Heading[] = "quillmark synchronisation record 1";

/// FNV-1a: a short stable file name for a pair of roots, which the file itself confirms.
std::string nameFor(const std::string& first, const std::string& second) {
    std::uint64_t hash = 14695981039346656037ULL;
    const auto add = [&hash](const std::string& text) {
        for (const unsigned char c : text) {
            hash ^= c;
            hash *= 1099511628211ULL;
        }
    };
    add(first);
    add(std::string(1, '\0'));
    add(second);
    char text[32];
    std::snprintf(text, sizeof text, "sync-%016llx", static_cast<unsigned long long>(hash));
    return text;
}

/// A decimal integer filling the whole text.
bool readNumber(const std::string& text, long long& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

} // namespace

SyncRecord::SyncRecord(std::string folder, std::string first, std::string second)
    : folder_(std::move(folder)), first_(std::move(first)), second_(std::move(second)) {
    if (!folder_.empty())
        path_ = joinPath(folder_, nameFor(first_, second_));
}

std::optional<timespec> SyncRecord::lastStart() const {
    if (path_.empty())
        return std::nullopt;
    try {
        TextReader reader;
        if (!reader.open(path_))
            return std::nullopt;
        // Roots holding a line break never match: such a pair is always a first run.
        if (reader.readLine() != Heading || reader.readLine() != first_ ||
            reader.readLine() != second_)
            return std::nullopt;
        const std::string time = reader.readLine();
        const auto space = time.find(' ');
        long long seconds = 0;
        long long nanoseconds = 0;
        if (space == std::string::npos || !readNumber(time.substr(0, space), seconds) ||
            !readNumber(time.substr(space + 1), nanoseconds) || nanoseconds < 0 ||
            nanoseconds > 999999999 || reader.readError() != 0)
            return std::nullopt;
        return timespec{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    } catch (const std::exception&) {
        return std::nullopt; // not a file we can read: as if there were none
    }
}

bool SyncRecord::store(const timespec& start) const noexcept {
    if (path_.empty())
        return false;
    try {
        makeFolders(folder_);
        replaceFile(path_, bytesFor(start));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string SyncRecord::bytesFor(const timespec& start) const {
    return std::string(Heading) + "\n" + first_ + "\n" + second_ + "\n" +
           std::to_string(static_cast<long long>(start.tv_sec)) + " " +
           std::to_string(static_cast<long long>(start.tv_nsec)) + "\n";
}

} // namespace qm
