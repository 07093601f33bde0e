#include "text_file.h"

#include "block_file.h"
#include "pending_io.h"

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qm {

namespace {

constexpr char ctrlZ = 26;

/// Reads the whole file; the code on failure (nothing pending).
int readWholeFile(const std::string& path, std::string& bytes) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return codeFromErrno(errno, false, path);
    bytes.clear();
    char buffer[65536];
    for (;;) {
        ssize_t done = ::read(fd, buffer, sizeof buffer);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            int code = codeFromErrno(errno);
            ::close(fd);
            return code;
        }
        if (done == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(done));
    }
    ::close(fd);
    return 0;
}

} // namespace

bool TextReader::open(const std::string& path) {
    std::string bytes;
    if (int code = readWholeFile(path, bytes); code != 0) {
        setPendingIo(code);
        data_.clear();
        pos_ = 0;
        open_ = false;
        return false;
    }
    openBuffer(std::move(bytes));
    return true;
}

void TextReader::openBuffer(std::string bytes) {
    data_ = std::move(bytes);
    pos_ = 0;
    open_ = true;
}

bool TextReader::eof() const {
    return pos_ >= data_.size() || data_[pos_] == ctrlZ;
}

std::string TextReader::readLine() {
    std::string line;
    while (pos_ < data_.size()) {
        char c = data_[pos_];
        if (c == ctrlZ)
            break; // stays unread: the file ends here
        ++pos_;
        if (c == '\n')
            break;
        if (c == '\r') {
            if (pos_ < data_.size() && data_[pos_] == '\n') {
                ++pos_;
                break;
            }
            continue; // a lone CR is dropped
        }
        line += c;
    }
    return line;
}

namespace {

/// Removes the temporary file unless released.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!released_)
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    std::string& path() { return path_; }
    int& fd() { return fd_; }
    void release() { released_ = true; }

private:
    std::string path_;
    int fd_ = -1;
    bool released_ = false;
};

[[noreturn]] void fail(int err, const std::string& path) {
    throw IoError(codeFromErrno(err, false, path));
}

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

void writeFileAtomically(const std::string& path, const std::string& bytes) {
    // A new file gets the usual 0666 less umask; a replaced file keeps its permissions.
    mode_t mode = 0666 & ~currentUmask();
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        mode = old.st_mode & 07777;

    std::string pattern = path + ".XXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        fail(errno, path);
    TempFile temp(pattern);
    temp.fd() = fd;

    if (::fchmod(fd, mode) != 0)
        fail(errno, path);
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t done = writeCall(fd, bytes.data() + written, bytes.size() - written);
        if (done < 0)
            fail(errno, path);
        if (done == 0)
            fail(ENOSPC, path);
        written += static_cast<std::size_t>(done);
    }
    if (::fsync(fd) != 0)
        fail(errno, path);
    temp.fd() = -1;
    if (::close(fd) != 0 && errno != EINTR)
        fail(errno, path);
    if (::rename(temp.path().c_str(), path.c_str()) != 0)
        fail(errno, path);
    temp.release();
}

bool createEmptyFile(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setPendingIo(codeFromErrno(errno, false, path));
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace qm
