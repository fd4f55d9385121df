// Test main for code with fixed paths (/dev/shm, /media) and for code that runs the device
// image's tools: the test process moves into mount and network namespaces of its own, with
// fresh tmpfs on /dev/shm and /media and recording stand-ins for the tools laid over /usr/bin
// and /usr/sbin. The machine's own files, tools and interfaces stay untouched. Without the
// rights for that, the tests that need it skip.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "private_mounts.h"

namespace ovik::testsupport {
namespace {

bool private_mounts_ready = false;

// Every stand-in appends its command line to the log and succeeds; fw_printenv prints the
// environment file, fw_setenv rewrites one variable in it.
constexpr const char* RECORD = "echo \"$0 $*\" >> " COMMAND_LOG "\n";

bool write_stub(const std::string& dir, const std::string& name, const std::string& body) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << RECORD << body;
    return ::chmod(path.c_str(), 0755) == 0;
}

bool lay_stand_ins() {
    const std::string bin = "/dev/shm/.stubs/bin";
    const std::string sbin = "/dev/shm/.stubs/sbin";
    ::mkdir("/dev/shm/.stubs", 0755);
    ::mkdir(bin.c_str(), 0755);
    ::mkdir(sbin.c_str(), 0755);
    bool ok = true;
    for (const char* tool :
         {"hwclock", "ethtool", "setinterface", "eltt2", "PassLED.sh", "FailLED.sh"}) {
        ok = ok && write_stub(bin, tool, "");
    }
    ok = ok && write_stub(bin, "fw_printenv", "cat " BOOTENV_FILE " 2>/dev/null\n");
    ok = ok && write_stub(bin, "fw_setenv",
                          "grep -v \"^$1=\" " BOOTENV_FILE " > " BOOTENV_FILE
                          ".new 2>/dev/null\n"
                          "echo \"$1=$2\" >> " BOOTENV_FILE ".new\nmv " BOOTENV_FILE
                          ".new " BOOTENV_FILE "\n");
    for (const char* tool : {"ifconfig", "mii-tool", "phytool", "ethtool", "mp_upgrade.sh"}) {
        ok = ok && write_stub(sbin, tool, "");
    }
    return ok &&
           ::mount("overlay", "/usr/bin", "overlay", MS_RDONLY,
                   ("lowerdir=" + bin + ":/usr/bin").c_str()) == 0 &&
           ::mount("overlay", "/usr/sbin", "overlay", MS_RDONLY,
                   ("lowerdir=" + sbin + ":/usr/sbin").c_str()) == 0;
}

}  // namespace

bool have_private_mounts() {
    return private_mounts_ready;
}

std::string recorded_commands() {
    std::ifstream in(COMMAND_LOG);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void clear_recorded_commands() {
    ::unlink(COMMAND_LOG);
}

}  // namespace ovik::testsupport

int main(int argc, char** argv) {
    // Before any thread exists: unshare needs a single-threaded process.
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16m") == 0 &&
        ::mount("tmpfs", "/media", "tmpfs", 0, "size=16m") == 0 &&
        ovik::testsupport::lay_stand_ins()) {
        ovik::testsupport::private_mounts_ready = true;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
