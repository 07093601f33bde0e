#pragma once

#include "file_bytes.h"
#include "temp_folder.h"

#include <cstdint>
#include <string>

namespace qm::test {

/// start/, a/ and b/ in a fresh folder; start/ holds one pending profile of `type` from a to b.
struct RunFolders {
    RunFolders(const std::string& tag, const std::string& type, const std::string& name);

    TempFolder root;
    std::string start = root.path() + "/start";
    std::string a = root.path() + "/a";
    std::string b = root.path() + "/b";
};

/// An environment variable as a number, or `fallback`.
std::int64_t envNumber(const char* name, std::int64_t fallback);

/// Prints a figure and appends "name value" to $QM_FIGURES_FILE when set, so the long-mode
/// script can total them.
void recordFigure(const std::string& name, std::int64_t value);

} // namespace qm::test
