#pragma once

namespace qm {

/// Whether a failed operation on one target path (creating a file's temporary, renaming it
/// into place, creating a folder) concerns that path alone. Such a failure is named in the
/// run log and the pass goes on with the next file. Any other code is taken as a fault of
/// the medium (full, over quota, read-only, failing): it ends the run, since every later
/// file would fail the same way and its message would hide the cause.
bool concernsOnlyThisPath(int code);

} // namespace qm
