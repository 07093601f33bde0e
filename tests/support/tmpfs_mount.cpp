#include "tmpfs_mount.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace qm::test {

TmpfsMount::TmpfsMount(const std::string& at, const std::string& size) : at_(at), size_(size) {
    const std::string options = "size=" + size + ",mode=0700";
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_)
        why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
}

TmpfsMount::~TmpfsMount() {
    if (mounted_)
        ::umount2(at_.c_str(), MNT_DETACH);
}

bool TmpfsMount::setReadOnly(bool readOnly) {
    const std::string options = "size=" + size_;
    return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | (readOnly ? MS_RDONLY : 0),
                   options.c_str()) == 0;
}

bool TmpfsMount::fill() {
    const std::string file = at_ + "/filler";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == ENOSPC;
    const std::vector<char> block(65536, 'f');
    // whole blocks, then single bytes for what a block no longer fits in
    for (std::size_t size = block.size(); size > 0; size /= 2)
        while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    const bool full = ::write(fd, block.data(), 1) < 0 && errno == ENOSPC;
    ::close(fd);
    return full;
}

} // namespace qm::test
