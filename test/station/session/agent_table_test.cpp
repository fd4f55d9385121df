// Frames find their device's session: devices whose serial numbers give one address, and
// devices that share a serial number, stay apart.
#include <gtest/gtest.h>

#include "station/session/agent_table.h"

namespace ovik::station::test {
namespace {

TEST(AgentTable, FrameGoesToItsOwnDevicesSessionNeverAnothers) {
    const Endpoint shared{0xC0B40100, 1033};  // 192.180.1.0: serials 0 and 253
    const Endpoint other{0xC0B40101, 1033};
    const Endpoint polled{0xC0B40102, 1033};  // --agent: no serial known yet
    AgentTable table;
    table.add(shared, 0, 0u);
    table.add(shared, 1, 253u);
    table.add(other, 2, 253u);  // a second device with serial 253
    table.add(polled, 3, std::nullopt);
    struct Case {
        const char* what;
        Endpoint from;
        uint32_t serial;
        std::optional<std::size_t> session;
    };
    const Case cases[] = {
        {"first device at the shared address", shared, 0, 0},
        {"second device at the shared address", shared, 253, 1},
        {"a third device there is none of theirs", shared, 506, std::nullopt},
        {"a serial from another port goes to its session", {0xC0B40100, 40000}, 253, 1},
        {"one serial at another address", other, 253, 2},
        {"nothing from an unknown address", {0xC0B40103, 1033}, 0, std::nullopt},
        {"the first answer names a polled device", polled, 7, 3},
        {"after which another serial there is another device", polled, 8, std::nullopt},
        {"and the polled device keeps its own", polled, 7, 3},
    };
    for (const Case& c : cases) EXPECT_EQ(table.take(c.from, c.serial), c.session) << c.what;
    EXPECT_EQ(table.serials_at(shared), (std::vector<uint32_t>{0, 253}));
}

}  // namespace
}  // namespace ovik::station::test
