#include "main/interfaces.h"

#include <string>

#include "base/clock.h"
#include "base/process.h"
#include "base/text.h"
#include "plan/address_plan.h"

namespace ovik {

int prepare_interfaces(const ConfigFile& v, const Configuration& config, InterfaceSetup& setup) {
    const bool alone = v.on("info:AloneBurn");
    if (v.on("uart:TestSerial2W")) {
        // The ports' transceivers go to two-wire mode.
        const std::string device = text_of(config.serial_device);
        for (int n = 0; n < setup.record.portnum; ++n) {
            run_command({"setinterface", device + std::to_string(n), "1"});
        }
    }
    if (v.on("ethernet:TestLAN2")) {
        if (alone) {
            run_command({"/sbin/mii-tool", "-F", "100baseTx-FD", "eth1"});
            sleep_s(1);
        }
        assign_if_address(setup.record, "eth1");
    }
    if (v.on("ethernet:TestLAN2_GigaLanLB")) {
        // eth1's PHY loops its own frames back; the end of the run undoes it.
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x001f", "0x0a43"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x8000"});
        sleep_s(1);
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x0140"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0018", "0x2d18"});
        sleep_s(3);
        assign_if_address(setup.record, "eth1");
    }
    if (v.on("ethernet:TestLAN2_Ping")) {
        setup.discovery.start_peer_discovery("eth1");
        assign_if_address(setup.record, "eth1");
    }
    if (v.on("ethernet:TestLAN3")) {
        run_command({"/sbin/mii-tool", "-F", "100baseTx-FD", "eth2"});
        sleep_s(1);
        assign_if_address(setup.record, "eth2");
    }
    if (v.on("ethernet:TestLAN4")) {
        run_command(
            {"/sbin/ethtool", "-s", "eth3", "autoneg", "off", "speed", "100", "duplex", "full"});
        sleep_s(1);
    }
    const bool wifi = v.on("wlan:TestWLAN") && !v.on("wlan:Detection");
    if (wifi && alone) {
        set_wireless("wlan0", config.ap_essid.data());
        assign_if_address(setup.record, "wlan0");
    } else if (wifi) {
        if (setup.net.wlan_pair_exchange("eth1", "wlan0", setup.record.serial) < 0) return -1;
    }
    return 0;
}

}  // namespace ovik
