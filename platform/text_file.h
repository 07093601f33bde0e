#pragma once

#include "io_error.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace qm {

/// Reads a text file line by line: a line ends at LF or CR LF; a lone CR is dropped;
/// Ctrl-Z (26) ends the file. Lines of any length are read whole. The file is read in
/// blocks, so memory does not grow with its size.
class TextReader {
public:
    TextReader() = default;
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    /// Opens a regular file. On failure code pending, isOpen() false. A FIFO, socket, device
    /// or folder is never opened in a way that could block: throw IoError (5, its own text).
    bool open(const std::string& path);
    bool isOpen() const { return open_; }
    /// True when no character is left or the next one is Ctrl-Z; also after a read error.
    bool eof();
    /// The next line without its line end; empty at the end of the file. A line that a
    /// read error cut short is dropped whole.
    std::string readLine();

    /// Same rules over bytes already in memory.
    void openBuffer(std::string bytes);

    /// The code of a read error that ended the reading early; 0 when there was none.
    int readError() const { return readError_; }
    /// True once eof() has stopped at a Ctrl-Z with more bytes after it.
    bool stoppedAtCtrlZ() const { return stoppedAtCtrlZ_; }

private:
    /// Reads the next block after the unread bytes; false at the end or on a read error.
    bool more();
    void closeFile();

    std::string data_;
    std::size_t pos_ = 0;
    int fd_ = -1;
    bool open_ = false;
    int readError_ = 0;
    bool stoppedAtCtrlZ_ = false;
};

/// The error text for a path that is not a regular file ("The file is a FIFO, ...").
std::string notRegularFileText(mode_t mode);
/// The error for such a path: code 5, that text, the path.
IoError notRegularFile(const std::string& path, mode_t mode);

/// Replaces the contents of the file at `path` with `bytes`, durably:
/// - a final symbolic link is followed (a dangling one is created at its target) and stays;
/// - a file the process may not write is refused with code 5, and one that is not a regular
///   file with code 5 and notRegularFileText;
/// - the new contents go to a temporary beside the file, flushed and renamed over it, with
///   the old file's permission bits and, where the process may set it, its owner. When no
///   temporary can be made there (a read-only folder), the file is rewritten in place;
/// - with `keepOld`, the file as it is on disk is first kept under a new name beside it
///   ("<name>.unloaded", then "<name>.unloaded.2" ...; never over an existing file);
/// - after success, temporaries that a killed save left (locked by nobody, ours) are removed.
/// Returns the kept copy's path, or empty. On failure the old file is untouched, unless the
/// in-place rewrite itself failed. throw IoError
std::string replaceFile(const std::string& path, const std::string& bytes, bool keepOld = false);

/// Creates an empty file if none exists. False with code pending on failure.
bool createEmptyFile(const std::string& path);

/// Test seam: replaces the read system call of TextReader (nullptr restores it). The hook
/// returns what read(2) would and sets errno on failure.
using ReadHook = ssize_t (*)(int fd, void* buffer, std::size_t count);
void setReadHook(ReadHook hook);

} // namespace qm
