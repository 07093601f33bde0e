#include "namesakes.h"

#include <cwctype>

namespace qm {

namespace {

/// The code point of the UTF-8 sequence at `at` and its length; none (0) for a byte that
/// starts no valid sequence.
std::pair<char32_t, std::size_t> decode(const std::string& s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80       ? 1
                               : lead >> 5 == 6  ? 2
                               : lead >> 4 == 14 ? 3
                               : lead >> 3 == 30 ? 4
                                                 : 0;
    if (length == 0 || at + length > s.size())
        return {0, 0};
    char32_t point = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(at + i) >> 6 != 2)
            return {0, 0};
        point = point << 6 | (byte(at + i) & 0x3f);
    }
    return {point, length};
}

void encode(char32_t point, std::string& out) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xc0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xe0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    }
}

} // namespace

std::string foldedName(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const auto [point, length] = decode(name, at);
        if (length == 0) {
            folded += name[at++];
            continue;
        }
        const auto lower = std::towlower(static_cast<std::wint_t>(point));
        encode(static_cast<char32_t>(lower), folded);
        at += length;
    }
    return folded;
}

const std::string* Namesakes::met(const std::string& name) {
    const auto [at, added] = first_.try_emplace(foldedName(name), name);
    return added || at->second == name ? nullptr : &at->second;
}

} // namespace qm
