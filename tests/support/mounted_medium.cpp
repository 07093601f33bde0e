#include "mounted_medium.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

namespace qm::test {
namespace {

/// Runs a shell command; its output and exit status.
std::pair<std::string, int> run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return {"cannot start a shell", -1};
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr)
        output += chunk.data();
    return {output, ::pclose(pipe)};
}

std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

bool isMountPoint(const std::string& path) {
    return run("mountpoint -q " + shellQuoted(path)).second == 0;
}

} // namespace

bool mediaRequired() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

MountedMedium::MountedMedium(Kind kind, const std::string& image, const std::string& mountPoint)
    : kind_(kind), image_(image), mountPoint_(mountPoint) {
    if (::geteuid() != 0) {
        why_ = "mounting a medium needs root";
        return;
    }
    const bool fuse = kind == Kind::Fat32 || kind == Kind::Exfat;
    if (fuse && ::access("/dev/fuse", R_OK | W_OK) != 0) {
        why_ = "no /dev/fuse";
        return;
    }
    const std::string img = shellQuoted(image);
    const std::string at = shellQuoted(mountPoint);
    std::pair<std::string, int> result;
    if (kind == Kind::Fat32) {
        // 40 MiB is about the least FAT32 takes
        result = run("truncate -s 40M " + img + " && mkfs.vfat -F 32 " + img);
    } else {
        // XFS takes no less than 300 MiB
        const std::string size = kind == Kind::Exfat ? "32M" : "320M";
        const std::string make = kind == Kind::Exfat   ? "mkfs.exfat "
                                 : kind == Kind::Btrfs ? "mkfs.btrfs -q -f "
                                                       : "mkfs.xfs -q -f ";
        const std::string command = "truncate -s " + size + " " + img + " && " + make + img;
        result = run(command);
        if (result.second == 0) {
            result = run("losetup -f --show " + img);
            if (result.second == 0)
                loopDevice_ = result.first.substr(0, result.first.find('\n'));
        }
    }
    if (result.second == 0)
        result = mountImage();
    mounted_ = result.second == 0 && isMountPoint(mountPoint);
    if (!mounted_)
        why_ = "could not mount the image: " + result.first;
}

std::pair<std::string, int> MountedMedium::mountImage() {
    const std::string at = shellQuoted(mountPoint_);
    if (kind_ == Kind::Fat32)
        // fusefat turns times into local time one way and back another: under a zone with
        // summer time they come back an hour early
        return run("TZ=UTC fusefat -o rw+ " + shellQuoted(image_) + " " + at);
    const bool fuse = kind_ == Kind::Exfat;
    return run((fuse ? "mount.exfat-fuse " : "mount ") + shellQuoted(loopDevice_) + " " + at);
}

bool MountedMedium::unmount() {
    if (run("fusermount -u " + shellQuoted(mountPoint_)).second != 0 &&
        run("umount " + shellQuoted(mountPoint_)).second != 0)
        return false;
    mounted_ = false;
    return true;
}

bool MountedMedium::mountAgain() {
    mounted_ = mountImage().second == 0 && isMountPoint(mountPoint_);
    return mounted_;
}

pid_t MountedMedium::driverProcess() const {
    // the driver names what it serves among its arguments: the image or the loop device
    const std::string served = kind_ == Kind::Fat32 ? image_ : loopDevice_;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream file(entry.path() / "cmdline", std::ios::binary);
        const std::string line{std::istreambuf_iterator<char>(file), {}};
        std::size_t start = 0;
        for (std::size_t end; (end = line.find('\0', start)) != std::string::npos; start = end + 1)
            if (line.compare(start, end - start, served) == 0 && std::stoi(name) != ::getpid())
                return static_cast<pid_t>(std::stoi(name));
    }
    return 0;
}

MountedMedium::~MountedMedium() {
    if (mounted_ || isMountPoint(mountPoint_)) {
        // what the medium still holds is written out on unmount; a busy one goes lazily
        if (run("fusermount -u " + shellQuoted(mountPoint_)).second != 0 &&
            run("umount " + shellQuoted(mountPoint_)).second != 0)
            ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    if (!loopDevice_.empty())
        run("losetup -d " + shellQuoted(loopDevice_));
}

BindMount::BindMount(const std::string& folder, const std::string& mountPoint)
    : mountPoint_(mountPoint) {
    if (::mount(folder.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) == 0)
        mounted_ = true;
    else
        why_ = "cannot bind-mount here: " + std::string(std::strerror(errno));
}

BindMount::~BindMount() {
    if (mounted_ && ::umount(mountPoint_.c_str()) != 0)
        ::umount2(mountPoint_.c_str(), MNT_DETACH);
}

} // namespace qm::test
