#include "base/console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "output_capture.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;

// Another thread's line waits until the block ends, instead of landing inside it.
TEST(Console, BlockKeepsOtherThreadsOut) {
    OutputCapture capture;
    std::atomic<bool> started{false};
    std::thread other;
    {
        const ConsoleBlock block;
        say("DIE-report\n");
        other = std::thread([&] {
            started.store(true);
            say(">>Receive command\n");
        });
        while (!started.load()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        say("what arrived\n");
    }
    other.join();
    EXPECT_EQ(capture.text(), "DIE-report\nwhat arrived\n>>Receive command\n");
}

}  // namespace
}  // namespace ovik
