#include "engine.h"
#include "folder_handle.h"
#include "pending_io.h"
#include "profile_table.h"
#include "run_view.h"
#include "temp_journal.h"
#include "temp_name.h"

namespace qm {

TempJournal& Engine::journal() {
    if (!journal_) {
        // A pass started on its own, outside a profile's run, files under its own roots.
        std::vector<std::string> roots = journalRoots_;
        if (roots.empty())
            roots = {state_.SourceFolder, state_.TargetFolder};
        journal_ = std::make_unique<TempJournal>(tempJournalFolder(), std::move(roots));
    }
    return *journal_;
}

bool Engine::journalTemp(const FolderHandle& folder, const std::string& name) {
    if (journal().record(folder, name))
        return true;
    // The run ends rather than each later file failing for the same reason: a journal that
    // refused one name refuses the next, and a copy made without it could be left for good.
    const IoFailure failure = takeIoFailure();
    if (!failure.concernsOnlyThisPath()) {
        try {
            view_.appendLog("ERROR: " + journal().failure() + ".");
        } catch (const std::exception&) {
            // the error box still says what failed
        }
    }
    setPendingIo(failure);
    return false;
}

void Engine::recoverTemporaries() noexcept {
    try {
        const int row = state_.SelectedRow;
        // Only this profile's trees: a medium of another profile that is absent or does
        // not answer must not hold this run up.
        journalRoots_ = {table_.cell(ColSource, row), table_.cell(ColTarget, row)};
        TempJournal::recoverEnded(tempJournalFolder(), journalRoots_, isTempName);
    } catch (const std::exception&) {
        // out of memory: the leftovers wait for the next run
    }
}

} // namespace qm
