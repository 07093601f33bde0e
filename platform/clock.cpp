#include "clock.h"

#include "file_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace qm {

double Clock::today() const {
    return std::floor(now());
}

double SystemClock::now() const {
    using namespace std::chrono;
    auto since = system_clock::now().time_since_epoch();
    auto seconds = duration_cast<std::chrono::seconds>(since);
    auto ms = duration_cast<milliseconds>(since - seconds).count();
    if (ms < 0) { // before 1970 the remainder is negative
        seconds -= std::chrono::seconds{1};
        ms += 1000;
    }
    time_t t = static_cast<time_t>(seconds.count());
    std::tm local{};
    ::localtime_r(&t, &local);
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return encodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, second, static_cast<int>(ms));
}

double SystemClock::steadyNow() const {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<double>(ms) / 86400000.0;
}

} // namespace qm
