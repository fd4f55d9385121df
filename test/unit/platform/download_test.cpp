// The download progress as the upgrade script's output moves it: one step per line up to 95,
// then 100 ms steps to 100 once the script has succeeded; -1 at the first error word, an exit
// status other than 0 or a script that cannot start.
#include "platform/download.h"

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::FakeClock;
using testsupport::TempDir;

TEST(Download, ProgressRule) {
    struct Case {
        const char* script;  // nullptr: the script is missing
        int32_t start;
        int32_t progress;
        std::size_t ramp_steps;  // sleeps of 100 ms after the output
    };
    const Case cases[] = {
        // 3 after the lines, 4 at once, then 5..100.
        {"echo one; echo two; echo three\n", 0, 100, 96},
        // Output alone stops at 95; 96 at once, then 97..100.
        {"i=0; while [ $i -lt 200 ]; do echo line $i; i=$((i+1)); done\n", 0, 100, 4},
        // A second download starts from what the first left.
        {"echo one\n", 100, 101, 0},
        {"echo ok; echo error here; echo never read\n", 0, -1, 0},
        {"echo ERROR >&2\n", 0, -1, 0},  // standard error counts as output too
        {"echo 'FaIl eRRor'\n", 0, 100, 98},
        {"echo fine; exit 1\n", 0, -1, 0},
        {nullptr, 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script != nullptr ? c.script : "missing script");
        TempDir dir;
        FakeClock clock;
        const std::string script = c.script != nullptr ? dir.write_script("mp_upgrade.sh", c.script)
                                                       : dir.file("mp_upgrade.sh");
        std::atomic<int32_t> progress{c.start};
        run_upgrade({script, "firmware", "fw.bin", "tftp"}, "fw.bin", progress);
        EXPECT_EQ(progress.load(), c.progress);
        EXPECT_EQ(clock.sleeps(), std::vector<int64_t>(c.ramp_steps, 100));
    }
}

}  // namespace
}  // namespace ovik
