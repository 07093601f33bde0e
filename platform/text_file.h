#pragma once

#include <cstddef>
#include <string>

namespace qm {

/// Reads a text file line by line: a line ends at LF or CR LF; a lone CR is dropped;
/// Ctrl-Z (26) ends the file. Lines of any length are read whole.
class TextReader {
public:
    /// Opens and reads the file. On failure code pending, isOpen() false.
    bool open(const std::string& path);
    bool isOpen() const { return open_; }
    /// True when no character is left or the next one is Ctrl-Z.
    bool eof() const;
    /// The next line without its line end; empty at the end of the file.
    std::string readLine();

    /// Same rules over bytes already in memory.
    void openBuffer(std::string bytes);

private:
    std::string data_;
    std::size_t pos_ = 0;
    bool open_ = false;
};

/// Writes the bytes to `path` through a temporary file beside it that is flushed and
/// renamed over the old file. On failure the old file is untouched. throw IoError
void writeFileAtomically(const std::string& path, const std::string& bytes);

/// Creates an empty file if none exists. False with code pending on failure.
bool createEmptyFile(const std::string& path);

} // namespace qm
