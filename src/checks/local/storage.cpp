#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/console.h"
#include "base/unique_fd.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "checks/local/local_checks.h"

namespace ovik {
namespace {

constexpr std::size_t REFERENCE_SIZE = 128;
constexpr std::size_t RANDOM_SIZE = 4096;
constexpr const char* TEST_FILE = "mptest.txt";

// Set after the first successful mount step; a medium is never looked at again after that.
bool ssd_mounted = false;
bool usb1_mounted = false;
bool msata_mounted = false;
bool sd_mounted = false;

// Console line unless quiet, and the same text (with its own site number) in the error log.
void say_and_log(const char* fmt_console, int site_console, int site_log, const char* fn,
                 const char* arg) {
    say(fmt_console, fn, site_console, arg);
    std::snprintf(errmsg, sizeof errmsg, fmt_console, fn, site_log, arg);
    writeErrorLog(errmsg);
}

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

struct Medium {
    const char* name;
    bool* mounted;
    const char* mount_fail_fmt;  // console line when the mount step fails
    int site_console;
    int site_log;  // 0: the line is not logged
};

// The write check used by testUSB1 and testSD.
int write_checked_medium(const Medium& m, const DeviceName& device_name) {
    const std::string name = text_of(device_name);
    const std::string device = "/dev/" + name;
    const std::string mount_point = "/media/" + name;
    if (!*m.mounted) {
        if (createTestFileOnExternalStorage(device.c_str(), mount_point.c_str()) != 0) {
            say_and_log(m.mount_fail_fmt, m.site_console, m.site_log, m.name, mount_point.c_str());
            return -1;
        }
        *m.mounted = true;
    }
    const int result = random_testing(test_file(mount_point.c_str()).c_str());
    say_framed("%s : %s ", result == 0 ? "PASS" : "FAIL", m.name);
    return result;
}

}  // namespace

int check_mounted(const char* device, const char* mount_point) {
    UniqueFile mounts(std::fopen("/proc/mounts", "r"));
    if (!mounts) {
        say("Open /proc/mounts fail !\n");
        writeErrorLog("Open /proc/mounts fail !\n");
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

int createTestFileOnExternalStorage(const char* device, const char* mount_point) {
    const char* fn = "createTestFileOnExternalStorage";
    struct stat st {};
    if (::stat(mount_point, &st) != 0) ::mkdir(mount_point, 0777);
    if (check_mounted(device, mount_point) != 0) {
        say("We are going to mount %s\n", mount_point);
        if (::mount(device, mount_point, "vfat", 0, nullptr) != 0) {
            say_and_log("%s[%d]mount %s in vfat format fail\n", 923, 924, fn, mount_point);
            return -1;
        }
        if (check_mounted(device, mount_point) != 0) {
            say_and_log("%s[%d]:Check mount %s fail!\n", 930, 931, fn, device);
            return -1;
        }
    }
    say("%s[%d]%s has been mounted\n", fn, 937, mount_point);
    return 0;
}

int CompareTestFile(const char* path) {
    const char* fn = "CompareTestFile";
    uint8_t buf[REFERENCE_SIZE] = {};
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        say_and_log("%s[%d]: reopen %s fail !\r\n", 741, 742, fn, path);
        return -1;
    }
    if (read_all(fd.get(), buf, REFERENCE_SIZE) != static_cast<ssize_t>(REFERENCE_SIZE)) {
        say_and_log("%s[%d]: read %s data length fail !\r\n", 748, 749, fn, path);
        return -1;
    }
    for (const uint8_t b : buf) {
        if (b != 'a') {
            say_and_log("%s[%d]: read %s data context fail !\r\n", 757, 758, fn, path);
            return -1;
        }
    }
    return 0;
}

int compare_mptest(const char* /*device*/, const char* mount_point) {
    return CompareTestFile(test_file(mount_point).c_str());
}

int random_testing(const char* path) {
    const char* fn = "random_testing";
    static uint8_t written[RANDOM_SIZE];
    static uint8_t back[RANDOM_SIZE];
    {
        const UniqueFd file(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid()) {
            say_and_log("%s[%d]: open new file, %s, fail !\r\n", 809, 810, fn, path);
            return -1;
        }
        const UniqueFd random(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
        if (!random.valid()) {
            say("%s[%d]: open random file, , fail !\r\n", fn, 818);
            return -1;
        }
        std::memset(written, 0, sizeof written);
        if (::read(random.get(), written, sizeof written) < 0) {
            say("read file, failed\r\n");
            return -1;
        }
        if (::write(file.get(), written, sizeof written) != static_cast<ssize_t>(sizeof written)) {
            say_and_log("%s[%d]: write data to %s fail !\r\n", 833, 834, fn, path);
            return -1;
        }
    }
    std::memset(back, 0, sizeof back);
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        say_and_log("%s[%d]: reopen %s fail !\r\n", 849, 850, fn, path);
        return -1;
    }
    if (read_all(file.get(), back, sizeof back) != static_cast<ssize_t>(sizeof back)) {
        say_and_log("%s[%d]: read %s data length fail !\r\n", 856, 857, fn, path);
        return -1;
    }
    if (std::memcmp(written, back, sizeof back) != 0) {
        say_and_log("%s[%d]: read %s data context fail !\r\n", 864, 865, fn, path);
        return -1;
    }
    return 0;
}

int testSSD() {
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

int testmSATA() {
    const std::string name = text_of(config.msata_device);
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

int testUSB1() {
    return write_checked_medium(
        {"testUSB1", &usb1_mounted, "%s[%d]: createTestFileOnExternalStorage on %s!\n", 991, 992},
        config.usb1_device);
}

int testSD() {
    return write_checked_medium(
        {"testSD", &sd_mounted, "%s[%d]: createTestFileOnExternalStorage on %s!\n", 1447, 1448},
        config.sd_device);
}

int testStorageMerge() {
    bool failed = false;
    if ((config.storagemask & STORAGE_USB1) != 0 && testUSB1() == -1) {
        writeErrorLog("[USB1] testUSB1 error\n");
        failed = true;
    }
    if ((config.storagemask & STORAGE_MSATA) != 0 && testmSATA() == -1) {
        writeErrorLog("[mSATA] testmSATA error\n");
        failed = true;
    }
    if ((config.storagemask & STORAGE_SD) != 0 && testSD() == -1) {
        writeErrorLog("[SD] testmSD error\n");
        failed = true;
    }
    return failed ? -1 : 0;
}

void register_local_tests(TestCatalogue& c) {
    c.testserial = testserial;
    c.testserial2W = testserial2W;
    c.testStorageMerge = testStorageMerge;
    c.testUSB1 = testUSB1;
    c.testmSATA = testmSATA;
    c.testSSD = testSSD;
    c.testSD = testSD;
    c.testMEM = testMEM;
    c.testTPM = testTPM;
    c.testTPM2 = testTPM2;
    c.testDIO = testDIO;
}

void forget_mounted_media() {
    ssd_mounted = false;
    usb1_mounted = false;
    msata_mounted = false;
    sd_mounted = false;
}

}  // namespace ovik
