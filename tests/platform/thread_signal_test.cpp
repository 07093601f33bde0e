// The hand-over between two threads: every change the other side makes is seen, however the
// two are timed, so no wait sleeps through the change it waits for.
#include "thread_signal.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qm::test {
namespace {

/// Hands a turn back and forth `rounds` times; the answering side takes a varying while,
/// so its answers land at every moment of the other's spin, just before its sleep too.
void pingPong(int rounds) {
    std::atomic<int> turn{0};
    ThreadSignal toAnswerer;
    ThreadSignal toAsker;
    std::thread answerer([&] {
        for (int i = 0; i < rounds; ++i) {
            toAnswerer.await([&] { return turn.load() == 2 * i + 1; });
            for (int spin = (i * 7919) % 6000; spin > 0; --spin)
                ThreadSignal::relax();
            turn.store(2 * i + 2);
            toAsker.wake();
        }
    });
    for (int i = 0; i < rounds; ++i) {
        turn.store(2 * i + 1);
        toAnswerer.wake();
        toAsker.await([&] { return turn.load() == 2 * i + 2; });
    }
    answerer.join();
}

TEST(ThreadSignalTest, NoWakeUpIsLostUnderAnyTiming) {
    // a watchdog, not a clock: a lost wake-up hangs the child for good
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        pingPong(20000);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a wait slept through its change";
}

} // namespace
} // namespace qm::test
