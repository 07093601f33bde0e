#pragma once

#include <cstddef>

namespace qm::test {

/// Live and peak bytes handed out by operator new in this process (the test binary replaces
/// the global allocation functions to count them).
struct HeapMeter {
    static std::size_t live();
    static std::size_t peak();
    /// Starts a new peak measurement from the current live size.
    static void resetPeak();
};

} // namespace qm::test
