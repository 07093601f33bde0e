#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

/// The run state shared by the window and the engine.
struct RunState {
    std::string StartFolder;  ///< fixed at start-up; the profile file lives here
    std::string SourceFolder; ///< roots of the current pass
    std::string TargetFolder;
    int SelectedRow = 0; ///< owned by the list page's selection handler

    std::int32_t ScannedEntryCount = 0;
    std::int64_t FilesSeen = 0;
    std::int64_t FilesUpdated = 0;
    /// Files and folders of the run that could not be written (made, read); zeroed with
    /// FilesSeen. Any of them makes the row's Status "ERROR".
    std::int64_t FilesFailed = 0;
    std::int64_t FoldersFailed = 0;
    /// Versions kept under a conflict name in a synchronisation; zeroed with FilesFailed.
    std::int64_t ConflictsKept = 0;
    /// Folders whose names begin with "." that the scans of the run did not enter.
    std::int64_t HiddenFoldersLeftOut = 0;
    /// Copies of the pass whose target kept not the permissions (owner and group, as root)
    /// they were given: the medium cannot (FAT, exFAT, many shares). Said once a pass.
    std::int64_t PermissionsNotKept = 0;
    std::int64_t OwnersNotKept = 0;
    std::int32_t PreviousSpeed = 0;
    std::int64_t CurrentFileSize = 0;

    int busyFlag = 0;   ///< 1 while a profile run is under way
    int runAllFlag = 0; ///< 1 while all profiles run

    /// The folder lists of the last pass: item 0 the roots, then the scan's order.
    std::vector<std::string> ListBox1;
    std::vector<std::string> ListBox2;
};

} // namespace qm
