#include "support.h"

#include "profile_file.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace qm::test {

RunFolders::RunFolders(const std::string& tag, const std::string& type, const std::string& name)
    : root(tag) {
    for (const auto& folder : {start, a, b})
        ::mkdir(folder.c_str(), 0755);
    writeFile(profileFilePath(start),
              type + "->" + name + "->" + a + "->" + b + "->NEVER->Pending->NPAODN->\r\n");
}

std::int64_t envNumber(const char* name, std::int64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    return end && *end == '\0' ? value : fallback;
}

void recordFigure(const std::string& name, std::int64_t value) {
    std::printf("[figure] %s %lld\n", name.c_str(), static_cast<long long>(value));
    std::fflush(stdout);
    if (const char* file = std::getenv("QM_FIGURES_FILE"); file && *file) {
        if (std::FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "%s %lld\n", name.c_str(), static_cast<long long>(value));
            std::fclose(out);
        }
    }
}

} // namespace qm::test
