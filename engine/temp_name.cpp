#include "temp_name.h"

#include <cstdint>
#include <random>

namespace qm {

namespace {

constexpr char Prefix[] = ".quillmark-";
constexpr char Suffix[] = ".tmp";
constexpr std::size_t PrefixLength = sizeof(Prefix) - 1;
constexpr std::size_t SuffixLength = sizeof(Suffix) - 1;
constexpr std::size_t HexDigits = 16;

} // namespace

std::string newTempName() {
    // Seeded once from the system's randomness; a generator per thread keeps it lock-free.
    thread_local std::mt19937_64 generator{[] {
        std::random_device random;
        return (static_cast<std::uint64_t>(random()) << 32) | random();
    }()};
    const std::uint64_t bits = generator();
    static constexpr char digits[] = "0123456789abcdef";
    std::string name(Prefix);
    for (int shift = 60; shift >= 0; shift -= 4)
        name += digits[(bits >> shift) & 15];
    return name + Suffix;
}

bool isTempName(const std::string& name) {
    if (name.size() != PrefixLength + HexDigits + SuffixLength)
        return false;
    if (name.compare(0, PrefixLength, Prefix) != 0 ||
        name.compare(PrefixLength + HexDigits, SuffixLength, Suffix) != 0)
        return false;
    for (std::size_t i = PrefixLength; i < PrefixLength + HexDigits; ++i) {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace qm
