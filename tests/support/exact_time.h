#pragma once

#include <ctime>
#include <string>

namespace qm::test {

/// Time stamp of a local calendar time.
std::time_t localTime(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);

/// Sets access and modification time of a file or link (not its target); false on failure.
bool setFileTime(const std::string& path, const timespec& when);

} // namespace qm::test
