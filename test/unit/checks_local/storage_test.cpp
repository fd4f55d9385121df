#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>

#include "private_mounts.h"
#include "temp_dir.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "checks/local/local_checks.h"

namespace ovik {
namespace {

using testsupport::TempDir;

// A medium "already mounted by the system": a tmpfs whose source reads /dev/NAME, mounted on
// /media/NAME inside the test's private mount namespace.
void mount_medium(const std::string& name, unsigned long flags = 0) {
    const std::string dir = "/media/" + name;
    ::mkdir(dir.c_str(), 0777);
    ASSERT_EQ(::mount(("/dev/" + name).c_str(), dir.c_str(), "tmpfs", flags, "size=1m"), 0);
}

void write_reference(const std::string& path, std::size_t count, char fill = 'a') {
    std::ofstream(path) << std::string(count, fill);
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        config = Configuration{};
        forget_mounted_media();
        ::unlink(ERROR_LOG_PATH);
    }
    static std::string log_text() { return TempDir::read(ERROR_LOG_PATH); }
    // The error log without its time stamps.
    static std::vector<std::string> log_messages() {
        std::vector<std::string> v;
        const std::string log = log_text();
        std::size_t at = 0;
        while ((at = log.find(" - ", at)) != std::string::npos) {
            at += 3;
            const std::size_t next = log.find("\n", at);
            v.push_back(log.substr(at, next - at + 1));
            at = next;
        }
        return v;
    }
};

TEST_F(StorageTest, ReferenceFile) {
    TempDir dir;
    struct Case {
        std::size_t size;
        char fill;
        int result;
        const char* message;
        const char* logged;
    };
    const Case cases[] = {
        {128, 'a', 0, nullptr, nullptr},
        {200, 'a', 0, nullptr, nullptr},
        {100, 'a', -1, "CompareTestFile[748]: read %s data length fail !\r\n",
         "CompareTestFile[749]: read %s data length fail !\r\n"},
        {128, 'b', -1, "CompareTestFile[757]: read %s data context fail !\r\n",
         "CompareTestFile[758]: read %s data context fail !\r\n"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("mptest.txt");
        write_reference(path, c.size, c.fill);
        ::unlink(ERROR_LOG_PATH);
        testing::internal::CaptureStdout();
        EXPECT_EQ(CompareTestFile(path.c_str()), c.result);
        const std::string out = testing::internal::GetCapturedStdout();
        if (c.message == nullptr) {
            EXPECT_EQ(out, "");
            continue;
        }
        char console[256];
        std::snprintf(console, sizeof console, c.message, path.c_str());
        EXPECT_EQ(out, console);
        char logged[256];
        std::snprintf(logged, sizeof logged, c.logged, path.c_str());
        EXPECT_EQ(log_messages(), std::vector<std::string>{logged});
    }
}

TEST_F(StorageTest, AlreadyMountedMediumIsUsedWithoutMounting) {
    mount_medium("usbm");
    std::snprintf(config.usb1_device.data(), config.usb1_device.size(), "usbm");
    testing::internal::CaptureStdout();
    EXPECT_EQ(testUSB1(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "createTestFileOnExternalStorage[937]/media/usbm has been mounted\n"
              "=======================\nPASS : testUSB1 \n=======================\n");
    struct stat st {};
    ASSERT_EQ(::stat("/media/usbm/mptest.txt", &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    // After the first good call nothing is checked or mounted again.
    testing::internal::CaptureStdout();
    EXPECT_EQ(testUSB1(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("has been mounted"), std::string::npos);
}

TEST_F(StorageTest, ReadOnlyMediumFailsTheWriteCheck) {
    mount_medium("sdro", MS_RDONLY);
    std::snprintf(config.sd_device.data(), config.sd_device.size(), "sdro");
    testing::internal::CaptureStdout();
    EXPECT_EQ(testSD(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("random_testing[809]: open new file, /media/sdro/mptest.txt, fail !\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("FAIL : testSD \n"), std::string::npos);
    EXPECT_EQ(log_messages(),
              std::vector<std::string>{
                  "random_testing[810]: open new file, /media/sdro/mptest.txt, fail !\r\n"});
}

TEST_F(StorageTest, MergedStorageLogsEachFailingMediumInOrder) {
    // USB1 and SD are not there at all: their mounts fail. mSATA is fine.
    std::snprintf(config.usb1_device.data(), config.usb1_device.size(), "nousb");
    std::snprintf(config.sd_device.data(), config.sd_device.size(), "nosd");
    std::snprintf(config.msata_device.data(), config.msata_device.size(), "msok");
    config.storagemask = STORAGE_USB1 | STORAGE_MSATA | STORAGE_SD;
    mount_medium("msok");
    write_reference("/media/msok/mptest.txt", 128);
    testing::internal::CaptureStdout();
    EXPECT_EQ(testStorageMerge(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("We are going to mount /media/nousb\n"), std::string::npos);
    EXPECT_NE(out.find("PASS : testmSATA \n"), std::string::npos);
    struct stat st {};
    EXPECT_EQ(::stat("/media/nousb", &st), 0) << "the mount point was created";
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{
                  "createTestFileOnExternalStorage[924]mount /media/nousb in vfat format fail\n",
                  "testUSB1[992]: createTestFileOnExternalStorage on /media/nousb!\n",
                  "[USB1] testUSB1 error\n",
                  "createTestFileOnExternalStorage[924]mount /media/nosd in vfat format fail\n",
                  "testSD[1448]: createTestFileOnExternalStorage on /media/nosd!\n",
                  "[SD] testmSD error\n",
              }));
}

TEST_F(StorageTest, SsdBannerComesBeforeTheFileCheck) {
    // /dev/sda1 on /media/usb-sda1: a medium whose reference file is missing.
    ::mkdir("/media/usb-sda1", 0777);
    ASSERT_EQ(::mount("/dev/sda1", "/media/usb-sda1", "tmpfs", 0, "size=1m"), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(testSSD(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(out.find("PASS : testSSD \n"), out.find("CompareTestFile[741]: reopen"));
}

}  // namespace
}  // namespace ovik
