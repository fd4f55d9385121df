// Waiting in a test for what another thread makes true, with a time limit, so that a broken
// product fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <thread>

namespace ovik::testsupport {

// True as soon as condition() holds; false when it still does not after timeout.
template <typename Condition>
bool eventually(Condition&& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ovik::testsupport
