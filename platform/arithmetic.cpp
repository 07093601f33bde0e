#include "arithmetic.h"

#include "io_error.h"

#include <cmath>

namespace qm {

std::int64_t roundHalfEven(double value) {
    // Explicit so the result never depends on the FPU's rounding mode.
    double below = std::floor(value);
    double rest = value - below;
    double rounded;
    if (rest > 0.5)
        rounded = below + 1.0;
    else if (rest < 0.5)
        rounded = below;
    else
        rounded = std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
    // 2^63 is exact in a double; the valid range is [-2^63, 2^63).
    if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0))
        throw MathError("Invalid floating point operation");
    return static_cast<std::int64_t>(rounded);
}

double divide(double numerator, double denominator) {
    if (std::isnan(numerator) || std::isnan(denominator))
        throw MathError("Invalid floating point operation");
    if (denominator == 0.0) {
        if (numerator == 0.0)
            throw MathError("Invalid floating point operation");
        throw MathError("Floating point division by zero");
    }
    double result = numerator / denominator;
    if (std::isnan(result))
        throw MathError("Invalid floating point operation");
    if (std::isinf(result) && std::isfinite(numerator))
        throw MathError("Floating point overflow");
    return result;
}

} // namespace qm
