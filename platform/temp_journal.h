#pragma once

#include <string>

namespace qm {

/// The folder where this user's runs keep their journals: $XDG_STATE_HOME/quillmark, else
/// ~/.local/state/quillmark. Empty when neither is known.
std::string tempJournalFolder();

/// The names of the temporaries that one run gives names to, written down before each name
/// exists. A run that is killed leaves its journal behind, unlocked; the next run removes
/// exactly what it names. Without a journal (no state folder can be made) nothing is
/// recorded and the run goes on: a killed run's temporaries would then stay.
/// The journal is locked for the life of the process (flock), so no other run takes it for
/// ended.
class TempJournal {
public:
    explicit TempJournal(const std::string& folder);
    ~TempJournal(); ///< removes its file: nothing it names is left
    TempJournal(const TempJournal&) = delete;
    TempJournal& operator=(const TempJournal&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    /// Writes `path` down; one write call. Nothing pending on failure.
    void record(const std::string& path) noexcept;
    /// Forgets every path: they have all been renamed into place or removed.
    void clear() noexcept;

    /// For each journal in `folder` whose run has ended: removes every path it names that is
    /// still a file or link and whose name `isOurs` accepts, then the journal itself.
    /// Returns the number of temporaries removed. Nothing pending.
    static int recoverEnded(const std::string& folder, bool (*isOurs)(const std::string& name));

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace qm
