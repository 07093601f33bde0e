#pragma once

#include <string>
#include <unordered_map>

namespace qm {

/// The name with its letters in one case, as a medium that ignores case compares names:
/// UTF-8 letters by the locale's lower case, other bytes as they are.
std::string foldedName(const std::string& name);

/// The names met in one folder, by their folded form: tells the second of two names that a
/// medium ignoring case would take for one.
class Namesakes {
public:
    /// The name met before that differs from `name` only in case; null for the first.
    const std::string* met(const std::string& name);
    void clear() { first_.clear(); }

private:
    std::unordered_map<std::string, std::string> first_;
};

} // namespace qm
