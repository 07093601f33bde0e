#pragma once

#include <cstdint>
#include <string>

namespace qm {

// The figures a run shows: speeds, the progress position and the pass's summary line.
// Durations are in days, as differences of two clock readings.

/// KB/s of `bytes` moved in `elapsedDays`, rounded half-even; 0 when no time was measured.
/// throw MathError
std::int32_t fileSpeed(std::int64_t bytes, double elapsedDays);

/// The speed shown after a file: the mean of this file's and the previous one's, truncated.
std::int32_t shownSpeed(std::int32_t speed, std::int32_t previousSpeed);

/// Progress bar position for `counted` of `scanned` entries; 100 when nothing was scanned.
/// throw MathError
int progressPosition(std::int32_t counted, std::int32_t scanned);

/// "DONE! <name> ->   Total size .. MB in .. minutes .. seconds at an average of .. KBytes/Sec".
/// The duration counts in whole milliseconds. throw MathError
std::string summaryLine(const std::string& profileName, std::int64_t byteTotal, double elapsedDays);

} // namespace qm
