#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace qm::test {

/// qm-run-child started for one profile row, its output going to a file.
class RunChild {
public:
    /// `prepare` runs in the child between fork and exec (limits, signals, user).
    RunChild(const std::string& startFolder, int row, const std::string& outputFile,
             const std::function<void()>& prepare = {});
    ~RunChild();
    RunChild(const RunChild&) = delete;
    RunChild& operator=(const RunChild&) = delete;

    /// True when the child has already ended (its status is then kept).
    bool finished();
    /// SIGKILL now unless it has ended; true when the kill ended it.
    bool kill();
    /// Waits for the end, at most `seconds`; kills on time-out. Returns the wait status.
    int wait(double seconds);
    int status() const { return status_; }
    /// Seconds since the start.
    double elapsed() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    double started_ = 0;
};

/// Monotonic seconds.
double monotonicSeconds();

/// The path of qm-run-child, built beside the tests.
std::string runChildPath();

} // namespace qm::test
