#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>

#include "base/text.h"
#include "check_world.h"
#include "checks/local/local_checks.h"
#include "private_mounts.h"

namespace ovik {
namespace {

using testsupport::capture_call;
using testsupport::CheckWorld;

// A medium "already mounted by the system": a tmpfs whose source reads DEVICE, mounted on
// MOUNT_POINT inside the test's private mount namespace.
void mount_medium(const std::string& device, const std::string& mount_point,
                  unsigned long flags = 0) {
    ::mkdir(mount_point.c_str(), 0777);
    ASSERT_EQ(::mount(device.c_str(), mount_point.c_str(), "tmpfs", flags, "size=1m"), 0);
}

void write_reference(const std::string& path, std::size_t count, char fill = 'a') {
    std::ofstream(path) << std::string(count, fill);
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override { OVIK_NEED_PRIVATE_MOUNTS(); }

    CheckWorld world;
    StorageChecks storage{world.context()};
};

TEST(Storage, ReferenceFile) {
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
        CheckWorld world;
        StorageChecks storage(world.context());
        const std::string path = world.dir.file("mptest.txt");
        write_reference(path, c.size, c.fill);
        const auto [result, out] =
            capture_call([&] { return storage.CompareTestFile(path.c_str()); });
        EXPECT_EQ(result, c.result) << c.size << c.fill;
        if (c.message == nullptr) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(world.log_text(), "");
            continue;
        }
        char console[256];
        std::snprintf(console, sizeof console, c.message, path.c_str());
        EXPECT_EQ(out, console);
        char logged[256];
        std::snprintf(logged, sizeof logged, c.logged, path.c_str());
        EXPECT_EQ(world.log_messages(), std::vector<std::string>{logged});
    }
}

TEST_F(StorageTest, AlreadyMountedMediumIsUsedWithoutMounting) {
    mount_medium("/dev/usbm", "/media/usbm");
    copy_text(world.config.usb1_device, "usbm");
    const auto first = capture_call([&] { return storage.testUSB1(); });
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.out,
              "createTestFileOnExternalStorage[937]/media/usbm has been mounted\n"
              "=======================\nPASS : testUSB1 \n=======================\n");
    struct stat st {};
    ASSERT_EQ(::stat("/media/usbm/mptest.txt", &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    // After the first good call nothing is checked or mounted again.
    const auto second = capture_call([&] { return storage.testUSB1(); });
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.out, "=======================\nPASS : testUSB1 \n=======================\n");
}

TEST_F(StorageTest, ReadOnlyMediumFailsTheWriteCheck) {
    mount_medium("/dev/sdro", "/media/sdro", MS_RDONLY);
    copy_text(world.config.sd_device, "sdro");
    const auto [result, out] = capture_call([&] { return storage.testSD(); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("random_testing[809]: open new file, /media/sdro/mptest.txt, fail !\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("FAIL : testSD \n"), std::string::npos);
    EXPECT_EQ(world.log_messages(),
              std::vector<std::string>{
                  "random_testing[810]: open new file, /media/sdro/mptest.txt, fail !\r\n"});
}

TEST_F(StorageTest, MergedStorageLogsEachFailingMediumInOrder) {
    // USB1 and SD are not there at all: their mounts fail. mSATA is fine.
    copy_text(world.config.usb1_device, "nousb");
    copy_text(world.config.sd_device, "nosd");
    copy_text(world.config.msata_device, "msok");
    world.config.storagemask = STORAGE_USB1 | STORAGE_MSATA | STORAGE_SD;
    mount_medium("/dev/msok", "/media/msok");
    write_reference("/media/msok/mptest.txt", 128);
    const auto [result, out] = capture_call([&] { return storage.testStorageMerge(); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("We are going to mount /media/nousb\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PASS : testmSATA \n"), std::string::npos);
    struct stat st {};
    EXPECT_EQ(::stat("/media/nousb", &st), 0) << "the mount point was created";
    EXPECT_EQ(world.log_messages(),
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
    // A medium whose reference file is missing.
    mount_medium("/dev/sda1", "/media/usb-sda1");
    const auto [result, out] = capture_call([&] { return storage.testSSD(); });
    EXPECT_EQ(result, -1);
    EXPECT_LT(out.find("PASS : testSSD \n"), out.find("CompareTestFile[741]: reopen")) << out;
}

}  // namespace
}  // namespace ovik
