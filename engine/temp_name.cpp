#include "temp_name.h"

#include <cstdint>

namespace qm {

namespace {

constexpr char Prefix[] = ".quillmark-";
constexpr char Suffix[] = ".tmp";
constexpr std::size_t PrefixLength = sizeof(Prefix) - 1;
constexpr std::size_t SuffixLength = sizeof(Suffix) - 1;
constexpr std::size_t HexDigits = 16;

} // namespace

std::string tempNameFor(const std::string& targetName) {
    // FNV-1a: a hash rather than the name itself keeps long names within NAME_MAX.
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : targetName) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string name(Prefix);
    for (int shift = 60; shift >= 0; shift -= 4)
        name += digits[(hash >> shift) & 15];
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
