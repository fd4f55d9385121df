#include "platform/netif.h"

#include <gtest/gtest.h>

namespace ovik {
namespace {

TEST(AddressPlan, Examples) {
    struct Case {
        const char* iface;
        uint32_t serial;
        const char* text;
    };
    const Case cases[] = {
        {"eth0", 1234, "192.180.5.222"},       {"eth1", 1234, "192.181.5.222"},
        {"eth2", 1234, "192.182.5.222"},       {"eth3", 1234, "192.183.5.222"},
        {"wlan0", 1234, "172.16.0.222"},       {"wlp1s0", 1234, "172.16.0.222"},
        {"eth0", 64516, "192.180.1.1"},  // third octet 255 becomes 1
        {"eth0", 64770, "192.180.1.2"},  // 256 modulo 256 is 0, which becomes 1
        {"eth0", 253, "192.180.1.0"},    // fourth octet 0 is an ordinary host
        {"eth0", 254, "192.180.2.1"},          {"eth0", 0, "192.180.1.0"},
        {"eth0", 4294967295u, "192.180.9.80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plan_address_text(c.iface, c.serial).value_or("none"), c.text)
            << c.iface << " serial " << c.serial;
    }
    EXPECT_FALSE(plan_address_text("eth4", 1234).has_value());
    EXPECT_FALSE(plan_address_text("", 1234).has_value());
}

TEST(AddressPlan, OctetsStayInRangeForEverySerial) {
    for (uint32_t s = 0; s < 70000; s += 7) {
        const PlanOctets o = plan_octets(s);
        ASSERT_GE(o.third, 1);
        ASSERT_LE(o.third, 254);
        ASSERT_GE(o.fourth, 0);
        ASSERT_LE(o.fourth, 252);
    }
}

}  // namespace
}  // namespace ovik
