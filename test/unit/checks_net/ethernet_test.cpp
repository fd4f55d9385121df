// The raw-frame loop-back test on veth ports inside the test's private network namespace: a
// loop-back plug is a tc mirred redirect on the far end, a port without one returns nothing.
#include <gtest/gtest.h>

#include "base/process.h"
#include "check_world.h"
#include "checks/net/net_checks.h"
#include "private_mounts.h"

namespace ovik {
namespace {

using testsupport::capture_call;

bool ip(const Argv& args) {
    Argv argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv) == 0;
}

class RawEthernet : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
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

    testsupport::CheckWorld world;
    PairAddress pair;
    NetChecks net{world.context(), pair};
};

TEST_F(RawEthernet, LoopBackPassesAndAMissingPlugTimesOut) {
    const auto looped = capture_call([&] { return net.testLAN2Raw(); });
    EXPECT_EQ(looped.result, 0) << looped.out;
    EXPECT_NE(looped.out.find("[eth1] MAC - "), std::string::npos);
    EXPECT_NE(looped.out.find("eth1 test OK.\n"), std::string::npos) << looped.out;

    const auto unplugged = capture_call([&] { return net.testLAN3Raw(); });
    EXPECT_EQ(unplugged.result, -1);
    EXPECT_NE(
        unplugged.out.find(
            "DIE-[singlelooptestLANbyRAW][2371] : LAN port eth2 wait data coming timeout !\n"),
        std::string::npos)
        << unplugged.out;

    EXPECT_EQ(capture_call([&] { return net.testLAN4Raw(); }).result, -1) << "no eth3";
    EXPECT_EQ(world.log_messages(),
              (std::vector<std::string>{
                  "[singlelooptestLANbyRAW][2371] : LAN port eth2 wait data coming timeout !\n",
                  "[singlelooptestLANbyRAW][2265] : LAN port eth3 ioctl SIOCGIFINDEX error !\n",
              }));
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
