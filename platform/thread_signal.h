#pragma once

#include <atomic>
#include <cstdint>

namespace qm {

/// How one thread waits for another without a lock: it spins a moment (the other usually
/// answers within a stat or two), then sleeps on a futex until woken. The other side calls
/// wake() after every change the sleeper may be waiting for; that costs a system call only
/// when somebody sleeps.
class ThreadSignal {
public:
    /// Returns once `ready()`; `ready` reads only atomics the other side changes.
    template <typename Ready> void await(Ready ready) {
        for (int i = 0; i < kSpins; ++i) {
            if (ready())
                return;
            relax();
        }
        for (;;) {
            const std::uint32_t seen = word_.load();
            waiting_.store(true);
            // the other side may have made it ready before it could see waiting_
            if (ready()) {
                waiting_.store(false);
                return;
            }
            sleep(seen);
            waiting_.store(false);
            if (ready())
                return;
        }
    }
    void wake() {
        if (waiting_.load())
            wakeAlways();
    }
    void wakeAlways();
    /// One turn of a spin: tells the processor this thread is waiting.
    static void relax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

private:
    // A few microseconds: an answer that comes within a stat or two is caught awake; a
    // longer wait sleeps, so that on a busy machine the other thread gets the core.
    static constexpr int kSpins = 100;
    void sleep(std::uint32_t seen);

    std::atomic<std::uint32_t> word_{0};
    std::atomic<bool> waiting_{false};
};

} // namespace qm
