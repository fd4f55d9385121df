// Tests that run inside private mount and network namespaces (see private_mounts_main.cpp).
#pragma once

#include <string>

#define COMMAND_LOG "/dev/shm/.commands.log"
#define BOOTENV_FILE "/dev/shm/.bootenv"

namespace ovik::testsupport {

// True when the test process has its private /dev/shm, /media, network and tool stand-ins.
bool have_private_mounts();

// Command lines the stand-in tools received, one per line, as "PATH ARGS".
std::string recorded_commands();
void clear_recorded_commands();

#define OVIK_NEED_PRIVATE_MOUNTS()                                               \
    do {                                                                         \
        if (!::ovik::testsupport::have_private_mounts())                         \
            GTEST_SKIP() << "needs private mount and network namespaces (root)"; \
    } while (0)

}  // namespace ovik::testsupport
