#include "platform/download.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "eventually.h"
#include "fake_clock.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::eventually;
using testsupport::FakeClock;
using testsupport::TempDir;

struct UpgradeRun {
    int32_t progress;
    std::vector<int64_t> sleeps;
};

UpgradeRun run_script(const std::string& body, int32_t start = 0) {
    TempDir dir;
    FakeClock clock;
    const std::string script = dir.write_script("mp_upgrade.sh", body);
    std::atomic<int32_t> progress{start};
    run_upgrade({script, "firmware", "fw.bin", "tftp"}, "fw.bin", progress);
    return {progress.load(), clock.sleeps()};
}

TEST(Download, LinesStepTheProgressThenItRampsTo100) {
    const UpgradeRun three = run_script("echo one; echo two; echo three\n");
    EXPECT_EQ(three.progress, 100);
    // 3 after the lines, 4 at once, then 5..100 in 96 steps of 100 ms.
    EXPECT_EQ(three.sleeps.size(), 96u);
    EXPECT_TRUE(std::all_of(three.sleeps.begin(), three.sleeps.end(),
                            [](int64_t ms) { return ms == 100; }));

    const UpgradeRun many =
        run_script("i=0; while [ $i -lt 200 ]; do echo line $i; i=$((i+1)); done\n");
    EXPECT_EQ(many.progress, 100);
    EXPECT_EQ(many.sleeps.size(), 4u) << "output alone stops at 95; 96 at once, then 97..100";

    const UpgradeRun again = run_script("echo one\n", 100);
    EXPECT_EQ(again.progress, 101) << "a second download starts from what the first left";
}

TEST(Download, ErrorWordsInExactCaseAndExitStatusFail) {
    struct Case {
        const char* body;
        int32_t progress;
    };
    const Case cases[] = {
        {"echo Connection failed\n", -1},
        {"echo FAILED\n", -1},
        {"echo 'tftp: Error 2'\n", -1},
        {"echo ERROR >&2\n", -1},  // standard error counts as output too
        {"echo Fail\n", -1},
        {"echo 'FaIl eRRor'\n", 100},
        {"echo fine; exit 1\n", -1},
        {"exit 0\n", 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_script(c.body).progress, c.progress) << c.body;
    }
    const UpgradeRun failed = run_script("echo ok; echo error here; echo never read\n");
    EXPECT_TRUE(failed.sleeps.empty()) << "no ramp after a failure";
}

TEST(Download, ScriptThatCannotStartFails) {
    TempDir dir;
    FakeClock clock;
    std::atomic<int32_t> progress{0};
    run_upgrade({dir.file("no-such-script"), "firmware", "x", "tftp"}, "x", progress);
    EXPECT_EQ(progress.load(), -1);
}

TEST(Download, FileNameIsOneArgumentWhateverItHolds) {
    const Argv argv = upgrade_command("x;reboot $(id)");
    ASSERT_EQ(argv.size(), 4u);
    EXPECT_EQ(argv[0], "/usr/sbin/mp_upgrade.sh");
    EXPECT_EQ(argv[1], "firmware");
    EXPECT_EQ(argv[2], "x;reboot $(id)");
    EXPECT_EQ(argv[3], "tftp");
}

// The thread waits for the release, then upgrades with the file name it was started with.
TEST(Download, OneUpgradeAtATimeWithItsOwnFileName) {
    TempDir dir;
    FakeClock clock;
    const std::string marker = dir.file("runs");
    const std::string script = dir.write_script("mp_upgrade.sh", "echo \"$2\" >> " + marker + "\n");
    Downloader downloader(script);
    FwrFile file{};
    copy_text(file, "fw.bin");
    ASSERT_TRUE(downloader.start(file));
    EXPECT_TRUE(downloader.running());
    EXPECT_FALSE(downloader.start(file)) << "a second command while one runs starts nothing";
    copy_text(file, "changed.bin");  // a later set-parameter command
    downloader.release();
    ASSERT_TRUE(eventually([&downloader] { return !downloader.running(); }));
    EXPECT_EQ(TempDir::read(marker), "fw.bin\n");
    EXPECT_EQ(downloader.progress(), 100);
}

}  // namespace
}  // namespace ovik
