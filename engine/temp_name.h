#pragma once

#include <string>

namespace qm {

/// A fresh name for a temporary: ".quillmark-" + 16 random hex digits + ".tmp". Two copies
/// never share one; a name that exists already is met by the exclusive create, which then
/// takes another.
std::string newTempName();

/// True for a name of the form newTempName() makes. The name alone never decides that a
/// file may be removed: only a run's journal does.
bool isTempName(const std::string& name);

} // namespace qm
