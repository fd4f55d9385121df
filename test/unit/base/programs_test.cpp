#include "base/programs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ovik {
namespace {

// Every program the agent runs, by the name it passes as argv[0], with its accepted statuses.
TEST(Programs, TableListsEveryProgramAndItsAcceptedStatuses) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ifconfig", "0"},
        {"hwclock", "0"},
        {"fw_printenv", "0"},
        {"fw_setenv", "0"},
        {"/usr/sbin/mp_upgrade.sh", "0"},
        {"/usr/sbin/phytool", "0"},
        {"ethtool", "0"},
        {"/sbin/ethtool", "0"},
        {"/sbin/mii-tool", "0"},
        {"setinterface", "0"},
        {"/bin/PassLED.sh", "0"},
        {"/bin/FailLED.sh", "0"},
        {"eltt2", "0"},
        {"grep", "0, 1"},
        {"iwconfig", "0"},
        {"iw", "0"},
        {"hostapd", "0"},
    };
    std::vector<std::pair<std::string, std::string>> listed;
    for (const ProgramRule& rule : program_table()) {
        listed.emplace_back(rule.name, rule.accepted.text());
        EXPECT_FALSE(rule.purpose.empty()) << rule.name;
        EXPECT_EQ(program_rule(rule.name), &rule);
    }
    EXPECT_EQ(listed, expected);
}

TEST(Programs, AcceptedStatuses) {
    struct Case {
        const char* name;
        int status;
        bool accepted;
    };
    for (const Case& c :
         {Case{"grep", 0, true}, Case{"grep", 1, true}, Case{"grep", 2, false},
          Case{"eltt2", 0, true}, Case{"eltt2", 1, false}, Case{"/bin/PassLED.sh", 3, false},
          Case{"PassLED.sh", 0, true}, Case{"not-listed", 0, true}, Case{"not-listed", 1, false},
          Case{"grep", -1, false}, Case{"grep", 256, false}}) {
        EXPECT_EQ(status_accepted(c.name, c.status), c.accepted) << c.name << " " << c.status;
    }
    EXPECT_EQ(program_rule("/usr/bin/grep"), nullptr);
    EXPECT_EQ((ExitStatuses{0, 63, 64, 255}).text(), "0, 63, 64, 255");
}

}  // namespace
}  // namespace ovik
