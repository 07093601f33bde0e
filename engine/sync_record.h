#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace qm {

/// When a synchronisation of two roots last completed without a failure: the moment that
/// run started. A file whose modification time is later was changed since, in its tree.
/// Kept per pair of roots as given, one small file in the state folder.
class SyncRecord {
public:
    /// The record of `first` and `second` in `folder` (the state folder; empty: none).
    SyncRecord(std::string folder, std::string first, std::string second);

    /// The start of the last completed run; none before the first, or when the record is
    /// unreadable or belongs to other roots.
    std::optional<timespec> lastStart() const;
    /// Writes `start` down durably. False when it cannot be kept (the next run then counts
    /// as a first one). Never throws.
    bool store(const timespec& start) const noexcept;

    /// The record's file; empty without a state folder.
    const std::string& path() const { return path_; }

private:
    std::string bytesFor(const timespec& start) const;
    std::string folder_;
    std::string first_;
    std::string second_;
    std::string path_;
};

} // namespace qm
