#include "base/programs.h"

#include <algorithm>

namespace ovik {

namespace {

constexpr std::array PROGRAMS{
    ProgramRule{"ifconfig", {0}, "gives an Ethernet or WLAN interface its test address"},
    ProgramRule{"hwclock", {0}, "sets the system time from the RTC"},
    ProgramRule{"fw_printenv", {0}, "dumps the boot environment to a file"},
    ProgramRule{"fw_setenv", {0}, "writes the boot environment's mm_flags"},
    ProgramRule{"/usr/sbin/mp_upgrade.sh", {0}, "installs the firmware file fetched by TFTP"},
    ProgramRule{"/usr/sbin/phytool", {0}, "writes registers of eth1's PHY"},
    ProgramRule{"ethtool", {0}, "turns eth1's autonegotiation back on and restarts it"},
    ProgramRule{"/sbin/ethtool", {0}, "forces eth3 to 100 Mbit/s full duplex"},
    ProgramRule{"/sbin/mii-tool", {0}, "forces eth1 or eth2 to 100baseTx-FD"},
    ProgramRule{"setinterface", {0}, "sets a serial port's interface mode"},
    ProgramRule{"/bin/PassLED.sh", {0}, "shows the pass pattern on the LEDs"},
    ProgramRule{"/bin/FailLED.sh", {0}, "shows the fail pattern on the LEDs"},
    ProgramRule{"eltt2", {0}, "runs the TPM's self-test"},
    // grep exits 1 when no line matches: the self-test's verdict, not a failure to run.
    ProgramRule{"grep", {0, 1}, "keeps the TPM self-test's success line"},
    ProgramRule{"iwconfig", {0}, "turns off the WLAN interface's key"},
    ProgramRule{"iw", {0}, "connects the WLAN station and shows its link"},
    ProgramRule{"hostapd", {0}, "starts the WLAN access point"},
};

constexpr bool names_unique() {
    for (std::size_t i = 0; i < PROGRAMS.size(); ++i) {
        for (std::size_t j = i + 1; j < PROGRAMS.size(); ++j) {
            if (PROGRAMS[i].name == PROGRAMS[j].name) return false;
        }
    }
    return true;
}
static_assert(names_unique(), "a program has one rule");

}  // namespace

std::string ExitStatuses::text() const {
    std::string line;
    for (int s = 0; s <= 255; ++s) {
        if (!contains(s)) continue;
        if (!line.empty()) line += ", ";
        line += std::to_string(s);
    }
    return line;
}

std::span<const ProgramRule> program_table() {
    return PROGRAMS;
}

const ProgramRule* program_rule(std::string_view name) {
    const auto* it = std::find_if(PROGRAMS.begin(), PROGRAMS.end(),
                                  [name](const ProgramRule& r) { return r.name == name; });
    return it == PROGRAMS.end() ? nullptr : &*it;
}

bool status_accepted(std::string_view name, int status) {
    const ProgramRule* rule = program_rule(name);
    return rule != nullptr ? rule->accepted.contains(status) : status == 0;
}

}  // namespace ovik
