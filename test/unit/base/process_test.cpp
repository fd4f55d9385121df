#include "base/process.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::TempDir;

TEST(Process, ArgumentsReachTheProgramUnchanged) {
    TempDir dir;
    const std::string script =
        dir.write_script("args", "for a in \"$@\"; do echo \"[$a]\"; done\n");
    ChildProcess::Options options;
    options.capture_stdout = true;
    auto child = ChildProcess::spawn({script, "x;reboot", "$(id)", "a b", "`ls`"}, options);
    ASSERT_TRUE(child.has_value());
    std::string out;
    char line[256];
    while (std::fgets(line, sizeof line, child->output()) != nullptr) out += line;
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(out, "[x;reboot]\n[$(id)]\n[a b]\n[`ls`]\n");
}

TEST(Process, ExitStatusesAndStartFailures) {
    TempDir dir;
    EXPECT_EQ(run_command({dir.write_script("ok", "exit 0\n")}), 0);
    EXPECT_EQ(run_command({dir.write_script("three", "exit 3\n")}), 3);
    EXPECT_EQ(run_command({dir.write_script("killed", "kill -TERM $$\n")}), 128 + 15);
    EXPECT_EQ(run_command({dir.file("missing-program")}), -1);
    EXPECT_EQ(run_command({}), -1);
}

TEST(Process, RedirectionsAreDoneByOurCode) {
    TempDir dir;
    const std::string script = dir.write_script("both", "echo out; echo err >&2\n");
    const std::string out = dir.file("out.txt");
    dir.write("out.txt", "old content that must go\n");
    EXPECT_EQ(run_command_to_file({script}, out), 0);
    EXPECT_EQ(TempDir::read(out), "out\n");

    ChildProcess::Options merged;
    merged.capture_stdout = true;
    merged.merge_stderr = true;
    auto child = ChildProcess::spawn({script}, merged);
    ASSERT_TRUE(child.has_value());
    std::string text;
    char line[64];
    while (std::fgets(line, sizeof line, child->output()) != nullptr) text += line;
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(text, "out\nerr\n");
}

TEST(Process, RenderedCommandLine) {
    EXPECT_EQ(render_command({"ifconfig", "eth0", "192.180.5.222", "netmask", "255.255.0.0", "up"}),
              "ifconfig eth0 192.180.5.222 netmask 255.255.0.0 up");
}

}  // namespace
}  // namespace ovik
