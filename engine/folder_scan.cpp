#include "engine.h"
#include "file_ops.h"
#include "folder_handle.h"
#include "listing.h"
#include "pending_io.h"
#include "run_view.h"

namespace qm {

void Engine::ScanFolderTree(std::vector<std::string>& sourceList,
                            std::vector<std::string>& targetList, const std::string& source,
                            const std::string& target) {
    // Every level is opened beneath the root, however deep: no path the system would refuse
    // as too long is ever given to it.
    FolderHandle root;
    if (!root.openRoot(source))
        takeIoResult(); // the pass names the root it cannot open
    scanFolder(sourceList, targetList, root, source, target, true);
}

bool Engine::scanFolder(std::vector<std::string>& sourceList, std::vector<std::string>& targetList,
                        const FolderHandle& rootFolder, const std::string& source,
                        const std::string& target, bool root) {
    const std::string sourcePrefix = source.ends_with('/') ? source : source + '/';
    const std::string targetPrefix = target.ends_with('/') ? target : target + '/';

    // Only this level's subfolders are kept while descending.
    std::vector<std::string> subSources;
    std::vector<std::string> subTargets;
    FolderHandle below;
    if (!root) {
        const std::string& rootPath = rootFolder.path();
        const std::size_t skip = rootPath.ends_with('/') ? rootPath.size() : rootPath.size() + 1;
        if (!below.openBeneath(rootFolder, source.substr(skip), source)) {
            takeIoResult(); // stays in the lists: the pass names it as it fails to open it
            return true;
        }
    }
    // The scan needs only names and kinds: no stat of every file.
    FolderListing listing(root ? rootFolder : below, ListingDetail::KindOnly);
    if (listing.error() != 0)
        return true;
    // Told by the open folder, not its entry in the parent: a mount point's entry names the
    // folder it covers.
    if (!root && leftOut_ && listing.identity() == leftOut_) {
        view_.appendLog(" Left out (the target inside the source) -> " + source);
        return false;
    }
    ListEntry entry;
    while (listing.next(entry)) {
        ++state_.ScannedEntryCount;
        // a link to a folder is no folder here, so links are never followed
        if (entry.kind != EntryKind::Folder || entry.name.empty())
            continue;
        if (entry.name[0] == '.') {
            // never entered, but never passed over in silence either
            if (entry.name != "." && entry.name != "..") {
                view_.appendLog(" Left out (a hidden folder) -> " + sourcePrefix + entry.name);
                ++state_.HiddenFoldersLeftOut;
            }
            continue;
        }
        subSources.push_back(sourcePrefix + entry.name);
        sourceList.push_back(subSources.back());
        subTargets.push_back(targetPrefix + entry.name);
        targetList.push_back(subTargets.back());
    }
    if (listing.error() != 0) {
        // the folders after the failure would be missed in silence
        reportError(listing.error(), sourcePrefix.substr(0, sourcePrefix.size() - 1));
        runFailed_ = true;
    }
    listing.close();

    // This level's block in the lists: the left-out folder goes from it.
    std::size_t at = sourceList.size() - subSources.size();
    for (std::size_t i = 0; i < subSources.size(); ++i) {
        if (scanFolder(sourceList, targetList, rootFolder, subSources[i], subTargets[i], false)) {
            ++at;
        } else {
            sourceList.erase(sourceList.begin() + static_cast<std::ptrdiff_t>(at));
            targetList.erase(targetList.begin() + static_cast<std::ptrdiff_t>(at));
        }
        view_.setStatus("Scanning Folders..." + subSources[i]);
        pump();
    }
    return true;
}

} // namespace qm
