#include "thread_signal.h"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qm {

// The futex itself: std::atomic's wait spins and yields first, a system call each time.
void ThreadSignal::sleep(std::uint32_t seen) {
    static_assert(sizeof(word_) == sizeof(std::uint32_t));
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, seen,
              nullptr, nullptr, 0);
}

void ThreadSignal::wakeAlways() {
    word_.fetch_add(1);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, INT_MAX,
              nullptr, nullptr, 0);
}

} // namespace qm
