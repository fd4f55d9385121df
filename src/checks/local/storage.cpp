#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/local/local_checks.h"
#include "plan/config.h"
#include "plan/error_log.h"

namespace ovik {
namespace {

constexpr std::size_t REFERENCE_SIZE = 128;
constexpr const char* TEST_FILE = "mptest.txt";

std::string test_file(const char* mount_point) {
    return std::string(mount_point) + "/" + TEST_FILE;
}

// Reads the whole of a file descriptor's next n bytes; the count actually read.
ssize_t read_all(int fd, uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

struct StorageChecks::Medium {
    const char* name;
    const char* mount_fail_fmt;  // console line when the mount step fails
    int site_console;
    int site_log;
};

// The write check used by testUSB1 and testSD.
int StorageChecks::write_checked_medium(const Medium& m, const DeviceName& device_name,
                                        bool& mounted) {
    const std::string name = text_of(device_name);
    const std::string device = "/dev/" + name;
    const std::string mount_point = "/media/" + name;
    if (!mounted) {
        if (createTestFileOnExternalStorage(device.c_str(), mount_point.c_str()) != 0) {
            ctx_.log.say_and_log(m.mount_fail_fmt, m.name, m.site_console, m.site_log,
                                 mount_point.c_str());
            return -1;
        }
        mounted = true;
    }
    const int result = random_testing(test_file(mount_point.c_str()).c_str());
    say_framed("%s : %s ", result == 0 ? "PASS" : "FAIL", m.name);
    return result;
}

int StorageChecks::check_mounted(const char* device, const char* mount_point) {
    UniqueFile mounts(std::fopen("/proc/mounts", "r"));
    if (!mounts) {
        say("Open /proc/mounts fail !\n");
        ctx_.log.writeErrorLog("Open /proc/mounts fail !\n");
        return -1;
    }
    return find_mount_line(mounts.get(), device, mount_point);
}

int find_mount_line(std::FILE* mounts, const char* device, const char* mount_point) {
    char line[REFERENCE_SIZE];
    while (std::fgets(line, sizeof line, mounts) != nullptr) {
        char dev[64] = {};
        char dir[64] = {};
        if (std::sscanf(line, "%63s %63s", dev, dir) != 2) continue;
        if (std::strcmp(dev, device) == 0 && std::strcmp(dir, mount_point) == 0) return 0;
    }
    return -1;
}

int StorageChecks::createTestFileOnExternalStorage(const char* device, const char* mount_point) {
    const char* fn = "createTestFileOnExternalStorage";
    struct stat st {};
    if (::stat(mount_point, &st) != 0) ::mkdir(mount_point, 0777);
    if (check_mounted(device, mount_point) != 0) {
        say("We are going to mount %s\n", mount_point);
        if (::mount(device, mount_point, "vfat", 0, nullptr) != 0) {
            ctx_.log.say_and_log("%s[%d]mount %s in vfat format fail\n", fn, 923, 924, mount_point);
            return -1;
        }
        if (check_mounted(device, mount_point) != 0) {
            ctx_.log.say_and_log("%s[%d]:Check mount %s fail!\n", fn, 930, 931, device);
            return -1;
        }
    }
    say("%s[%d]%s has been mounted\n", fn, 937, mount_point);
    return 0;
}

int StorageChecks::CompareTestFile(const char* path) {
    const char* fn = "CompareTestFile";
    uint8_t buf[REFERENCE_SIZE] = {};
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        ctx_.log.say_and_log("%s[%d]: reopen %s fail !\r\n", fn, 741, 742, path);
        return -1;
    }
    if (read_all(fd.get(), buf, REFERENCE_SIZE) != static_cast<ssize_t>(REFERENCE_SIZE)) {
        ctx_.log.say_and_log("%s[%d]: read %s data length fail !\r\n", fn, 748, 749, path);
        return -1;
    }
    for (const uint8_t b : buf) {
        if (b != 'a') {
            ctx_.log.say_and_log("%s[%d]: read %s data context fail !\r\n", fn, 757, 758, path);
            return -1;
        }
    }
    return 0;
}

int StorageChecks::compare_mptest(const char* /*device*/, const char* mount_point) {
    return CompareTestFile(test_file(mount_point).c_str());
}

int StorageChecks::random_testing(const char* path) {
    const char* fn = "random_testing";
    {
        const UniqueFd file(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid()) {
            ctx_.log.say_and_log("%s[%d]: open new file, %s, fail !\r\n", fn, 809, 810, path);
            return -1;
        }
        const UniqueFd random(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
        if (!random.valid()) {
            say("%s[%d]: open random file, , fail !\r\n", fn, 818);
            return -1;
        }
        written.fill(0);
        if (::read(random.get(), written.data(), written.size()) < 0) {
            say("read file, failed\r\n");
            return -1;
        }
        if (::write(file.get(), written.data(), written.size()) !=
            static_cast<ssize_t>(written.size())) {
            ctx_.log.say_and_log("%s[%d]: write data to %s fail !\r\n", fn, 833, 834, path);
            return -1;
        }
    }
    back.fill(0);
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        ctx_.log.say_and_log("%s[%d]: reopen %s fail !\r\n", fn, 849, 850, path);
        return -1;
    }
    if (read_all(file.get(), back.data(), back.size()) != static_cast<ssize_t>(back.size())) {
        ctx_.log.say_and_log("%s[%d]: read %s data length fail !\r\n", fn, 856, 857, path);
        return -1;
    }
    if (written != back) {
        ctx_.log.say_and_log("%s[%d]: read %s data context fail !\r\n", fn, 864, 865, path);
        return -1;
    }
    return 0;
}

int StorageChecks::testSSD() {
    if (!ssd_mounted) {
        if (createTestFileOnExternalStorage("/dev/sda1", "/media/usb-sda1") != 0) {
            say("%s[%d]: create_TestFile_On_Ext_Stor on /media/usb-sda1 fail!\n", "testSSD", 952);
            return -1;
        }
        ssd_mounted = true;
    }
    say_framed("PASS : %s ", "testSSD");
    return compare_mptest("/dev/sda1", "/media/usb-sda1");
}

int StorageChecks::testmSATA() {
    const std::string name = text_of(ctx_.config.msata_device);
    const std::string device = "/dev/" + name;
    const std::string mount_point = "/media/" + name;
    if (!msata_mounted) {
        if (createTestFileOnExternalStorage(device.c_str(), mount_point.c_str()) != 0) {
            std::printf("%s[%d]: createTestFileOnExternalStorage on %s fail!\n", "testmSATA", 1043,
                        mount_point.c_str());
            return -1;
        }
        msata_mounted = true;
    }
    say_framed("PASS : %s ", "testmSATA");
    return compare_mptest(device.c_str(), mount_point.c_str());
}

int StorageChecks::testUSB1() {
    return write_checked_medium(
        {"testUSB1", "%s[%d]: createTestFileOnExternalStorage on %s!\n", 991, 992},
        ctx_.config.usb1_device, usb1_mounted);
}

int StorageChecks::testSD() {
    return write_checked_medium(
        {"testSD", "%s[%d]: createTestFileOnExternalStorage on %s!\n", 1447, 1448},
        ctx_.config.sd_device, sd_mounted);
}

int StorageChecks::testStorageMerge() {
    bool failed = false;
    if ((ctx_.config.storagemask & STORAGE_USB1) != 0 && testUSB1() == -1) {
        ctx_.log.writeErrorLog("[USB1] testUSB1 error\n");
        failed = true;
    }
    if ((ctx_.config.storagemask & STORAGE_MSATA) != 0 && testmSATA() == -1) {
        ctx_.log.writeErrorLog("[mSATA] testmSATA error\n");
        failed = true;
    }
    if ((ctx_.config.storagemask & STORAGE_SD) != 0 && testSD() == -1) {
        ctx_.log.writeErrorLog("[SD] testmSD error\n");
        failed = true;
    }
    return failed ? -1 : 0;
}

}  // namespace ovik
