#pragma once

#include <string>

namespace qm {

/// Name of the temporary a file is written into before it is renamed over `targetName`:
/// ".quillmark-" + 16 hex digits + ".tmp". The same target always gets the same name, so a
/// leftover of a killed run is met and removed when that file is written again.
std::string tempNameFor(const std::string& targetName);

/// True for a name of the form tempNameFor() makes.
bool isTempName(const std::string& name);

} // namespace qm
