#include "engine.h"
#include "folder_handle.h"
#include "pending_io.h"
#include "profile_table.h"
#include "run_view.h"
#include "temp_journal.h"
#include "temp_name.h"

namespace qm {

void Engine::journalRefused(const std::string& why) {
    view_.appendLog("ERROR: " + why + ".");
}

void Engine::recoverTemporaries() noexcept {
    try {
        const int row = state_.SelectedRow;
        // Only this profile's trees: a medium of another profile that is absent or does
        // not answer must not hold this run up.
        std::vector<std::string> roots{table_.cell(ColSource, row), table_.cell(ColTarget, row)};
        TempJournal::recoverEnded(tempJournalFolder(), roots, isTempName);
        batch_.setRoots(std::move(roots));
    } catch (const std::exception&) {
        // out of memory: the leftovers wait for the next run
    }
}

} // namespace qm
