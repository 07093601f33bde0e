#pragma once

#include <string>

namespace qm::test {

/// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
/// Replaces the file's contents with `bytes`.
void writeFile(const std::string& path, const std::string& bytes); // throw std::runtime_error

} // namespace qm::test
