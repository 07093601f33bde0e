#pragma once

#include <ctime>
#include <string>

namespace qm {

/// The name under which a version that a synchronisation replaces is kept beside it:
/// "plan (conflict 2026-12-10 14.03).txt" for "plan.txt" last changed then (local time), with
/// " 2", " 3" ... before the ")" from `attempt` 2 on. Kept within 255 bytes, the stem cut at
/// a character boundary. An extension is a short last part after a dot, without spaces or
/// brackets (so a conflict copy's own name has none).
std::string conflictName(const std::string& name, const timespec& changed, int attempt = 1);

} // namespace qm
