#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qm::test {

double monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string runChildPath() {
    return QM_RUN_CHILD;
}

RunChild::RunChild(const std::string& startFolder, int row, const std::string& outputFile,
                   const std::function<void()>& prepare) {
    const std::string child = runChildPath();
    const std::string rowText = std::to_string(row);
    started_ = monotonicSeconds();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        if (prepare)
            prepare();
        ::execl(child.c_str(), child.c_str(), startFolder.c_str(), rowText.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

RunChild::~RunChild() {
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
}

bool RunChild::finished() {
    if (status_ >= 0)
        return true;
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = status;
        return true;
    }
    return false;
}

bool RunChild::kill() {
    if (finished())
        return false;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    return WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL;
}

int RunChild::wait(double seconds) {
    const double end = monotonicSeconds() + seconds;
    while (!finished()) {
        if (monotonicSeconds() > end) {
            kill();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

double RunChild::elapsed() const {
    return monotonicSeconds() - started_;
}

} // namespace qm::test
