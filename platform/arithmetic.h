#pragma once

#include <cstdint>

namespace qm {

/// Nearest integer, halves to the even neighbour. throw MathError outside the 64-bit range.
std::int64_t roundHalfEven(double value);

/// Floating-point division that raises instead of giving inf or NaN. throw MathError
double divide(double numerator, double denominator);

} // namespace qm
