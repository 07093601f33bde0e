#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace qm {

struct PathStatus;

/// How a target stands against its source.
enum class TargetOrder { Equal, Missing, Older, Newer };

/// What the update does for a pair.
enum class UpdateAction { Skip, Write, Ask };

/// Orders a target against its source. A missing target or a folder is Missing. Two DOS
/// stamps are compared in time order at their two-second resolution; when either time has
/// no DOS stamp (before 1980, after 2107) the exact times are compared instead.
/// `exactTimes`: both sides keep exact times in UTC, so two times more than two seconds
/// apart are ordered as they are, even where their local stamps say otherwise (the hour the
/// clocks go back repeats every local stamp in it).
TargetOrder orderTarget(const timespec& sourceTime, const std::optional<PathStatus>& target,
                        bool exactTimes = false);

/// The decision table: "AP" in characters 1-2 asks about differing times; otherwise "AO" in
/// characters 3-4 writes only over an older target, anything else only over a newer one.
UpdateAction decideUpdate(const std::string& optionCode, TargetOrder order);

/// The six-line question (lines separated by CR) asked before overwriting with "AP".
std::string overwriteQuestion(bool sourceNewer, const std::string& fileName,
                              const std::string& sourceTimeText, const std::string& targetName,
                              const std::string& targetTimeText);

} // namespace qm
