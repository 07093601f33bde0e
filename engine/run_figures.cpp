#include "run_figures.h"

#include "arithmetic.h"

#include <limits>

namespace qm {

namespace {

constexpr double SecondsPerDay = 86400.0;

std::int32_t clampToInt32(std::int64_t value) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value < lo ? lo : (value > hi ? hi : value));
}

} // namespace

std::int32_t fileSpeed(std::int64_t bytes, double elapsedDays) {
    if (elapsedDays == 0.0)
        return 0;
    double perSecond = divide(static_cast<double>(bytes), elapsedDays * SecondsPerDay);
    // a huge file copied within one clock step would not fit the 32-bit figure
    return clampToInt32(roundHalfEven(perSecond / 1024.0));
}

std::int32_t shownSpeed(std::int32_t speed, std::int32_t previousSpeed) {
    return static_cast<std::int32_t>((static_cast<std::int64_t>(speed) + previousSpeed) / 2);
}

int progressPosition(std::int32_t counted, std::int32_t scanned) {
    if (scanned == 0)
        return 100; // entries that appeared after the scan
    return static_cast<int>(
        roundHalfEven(divide(static_cast<double>(counted), static_cast<double>(scanned)) * 100.0));
}

std::string summaryLine(const std::string& profileName, std::int64_t byteTotal,
                        double elapsedDays) {
    std::int64_t megabytes = roundHalfEven(static_cast<double>(byteTotal) / 1024.0 / 1024.0);
    // From whole milliseconds, the clock's own unit: a day count never holds 59.5 s exactly,
    // so its halves would not round to even.
    const std::int64_t milliseconds = roundHalfEven(elapsedDays * SecondsPerDay * 1000.0);
    const double seconds = static_cast<double>(milliseconds) / 1000.0;
    std::int64_t totalSeconds = roundHalfEven(seconds);
    std::int64_t speed = 0;
    if (milliseconds != 0)
        speed = roundHalfEven(divide(static_cast<double>(byteTotal), seconds) / 1024.0);
    return "DONE! " + profileName + " ->   Total size " + std::to_string(megabytes) + " MB in " +
           std::to_string(totalSeconds / 60) + " minutes " + std::to_string(totalSeconds % 60) +
           " seconds at an average of " + std::to_string(speed) + " KBytes/Sec";
}

} // namespace qm
