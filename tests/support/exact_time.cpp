#include "exact_time.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace qm::test {

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

bool setFileTime(const std::string& path, const timespec& when) {
    const timespec times[2] = {when, when};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace qm::test
