#include "conflict_name.h"

#include "file_time.h"

#include <cstdio>

namespace qm {

namespace {

constexpr std::size_t NameLimit = 255;

/// The length of `text` cut to at most `limit` bytes without splitting a UTF-8 character.
std::size_t cutAtCharacter(const std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return text.size();
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

} // namespace

std::string conflictName(const std::string& name, const timespec& changed, int attempt) {
    // ".bashrc" has no extension, nor has "f (conflict 2026-12-10 14.03)"; "archive.tar.gz"
    // keeps only ".gz" after the mark
    const std::size_t dot = name.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && name.size() - dot <= 16 &&
                              name.find_first_of(" ()", dot) == std::string::npos;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();

    char when[48] = "unknown time";
    if (const auto local = localPartsOf(changed))
        std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d.%02d", local->year, local->month,
                      local->day, local->hour, local->minute);
    std::string mark = std::string(" (conflict ") + when;
    if (attempt > 1)
        mark += " " + std::to_string(attempt);
    mark += ")";

    const std::size_t room = NameLimit - std::min(NameLimit, mark.size() + extension.size());
    return stem.substr(0, cutAtCharacter(stem, room)) + mark +
           extension.substr(0, NameLimit - std::min(NameLimit, mark.size()));
}

} // namespace qm
