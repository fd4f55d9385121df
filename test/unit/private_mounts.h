#pragma once

namespace ovik::testsupport {

// True when the test process has private tmpfs mounts on /dev/shm and /media.
bool have_private_mounts();

#define OVIK_NEED_PRIVATE_MOUNTS()                                           \
    do {                                                                     \
        if (!::ovik::testsupport::have_private_mounts())                     \
            GTEST_SKIP() << "needs a private mount namespace (run as root)"; \
    } while (0)

}  // namespace ovik::testsupport
