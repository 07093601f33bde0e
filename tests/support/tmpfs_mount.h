#pragma once

#include <string>

namespace qm::test {

/// A tmpfs of a given size mounted on an existing folder, unmounted (lazily) on destruction:
/// a medium that can be made full or read-only at will. Needs root; see mounted().
class TmpfsMount {
public:
    TmpfsMount(const std::string& at, const std::string& size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return mounted_; }
    /// Why it is not mounted.
    const std::string& why() const { return why_; }
    /// Makes it refuse every change (EROFS), or take changes again. False on failure.
    bool setReadOnly(bool readOnly);
    /// Fills it to the last byte with one file; false when it still takes more.
    bool fill();

private:
    std::string at_;
    std::string size_;
    bool mounted_ = false;
    std::string why_;
};

} // namespace qm::test
