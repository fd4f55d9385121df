// Test main for code with fixed paths in /dev/shm and /media: the test process moves into a
// mount namespace of its own with fresh tmpfs on those paths, so the machine's own stay
// untouched. Without the rights for that, the tests that need it skip.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include "private_mounts.h"

namespace ovik::testsupport {
namespace {
bool private_mounts_ready = false;
}

bool have_private_mounts() {
    return private_mounts_ready;
}

}  // namespace ovik::testsupport

int main(int argc, char** argv) {
    // Before any thread exists: unshare needs a single-threaded process.
    if (::unshare(CLONE_NEWNS) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16m") == 0 &&
        ::mount("tmpfs", "/media", "tmpfs", 0, "size=16m") == 0) {
        ovik::testsupport::private_mounts_ready = true;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
