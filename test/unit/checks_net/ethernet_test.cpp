// The raw-frame loop-back test on veth ports inside the test's private network namespace: a
// loop-back plug is a tc mirred redirect on the far end, a port without one returns nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "base/console.h"
#include "base/process.h"
#include "private_mounts.h"
#include "plan/error_log.h"
#include "checks/net/net_checks.h"

namespace ovik {
namespace {

bool ip(const Argv& args) {
    Argv argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv) == 0;
}

class RawEthernet : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        ::unlink(ERROR_LOG_PATH);
        for (const char* port : {"eth1", "eth2"}) {
            const std::string far = std::string("far-") + port;
            ASSERT_TRUE(ip({"link", "add", port, "type", "veth", "peer", "name", far}));
            ASSERT_TRUE(ip({"link", "set", port, "up"}));
            ASSERT_TRUE(ip({"link", "set", far, "up"}));
        }
        // eth1 has a loop-back plug; eth2's far end returns nothing.
        if (run_command({"tc", "qdisc", "add", "dev", "far-eth1", "ingress"}) != 0 ||
            run_command({"tc",       "filter", "add",    "dev",      "far-eth1", "parent",  "ffff:",
                         "protocol", "all",    "u32",    "match",    "u32",      "0",       "0",
                         "action",   "mirred", "egress", "redirect", "dev",      "far-eth1"}) !=
                0) {
            GTEST_SKIP() << "this kernel has no tc u32/mirred for a loop-back plug";
        }
    }
    void TearDown() override {
        run_command({"ip", "link", "del", "eth1"});
        run_command({"ip", "link", "del", "eth2"});
    }
    static std::string log_text() {
        std::ifstream in(ERROR_LOG_PATH);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(RawEthernet, LoopBackPassesAndAMissingPlugTimesOut) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(testLAN2Raw(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[eth1] MAC - "), std::string::npos);
    EXPECT_NE(out.find("eth1 test OK.\n"), std::string::npos) << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(testLAN3Raw(), -1);
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find(
            "DIE-[singlelooptestLANbyRAW][2371] : LAN port eth2 wait data coming timeout !\n"),
        std::string::npos);

    quiet.store(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(testLAN4Raw(), -1) << "eth3 does not exist";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "quiet: nothing on the console";
    quiet.store(0);
    const std::string log = log_text();
    EXPECT_NE(
        log.find(" - [singlelooptestLANbyRAW][2371] : LAN port eth2 wait data coming timeout !\n"),
        std::string::npos);
    EXPECT_NE(
        log.find(" - [singlelooptestLANbyRAW][2265] : LAN port eth3 ioctl SIOCGIFINDEX error !\n"),
        std::string::npos)
        << log;
    ChildProcess::Options capture;
    capture.capture_stdout = true;
    auto show = ChildProcess::spawn({"ip", "link", "show", "eth1"}, capture);
    ASSERT_TRUE(show.has_value());
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, show->output()), nullptr);
    show->wait();
    EXPECT_NE(std::string(line).find("PROMISC"), std::string::npos) << "the port stays promiscuous";
}

}  // namespace
}  // namespace ovik
