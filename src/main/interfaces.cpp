#include "main/interfaces.h"

#include <string>

#include "base/clock.h"
#include "base/process.h"
#include "plan/address_plan.h"

namespace ovik {

int prepare_interfaces(const ConfigFile& v, const Configuration& config, InterfaceSetup& setup) {
    if (v.serial2w) {
        // The ports' transceivers go to two-wire mode.
        for (int n = 0; n < v.portnum; ++n) {
            run_command({"setinterface", v.serial_device + std::to_string(n), "1"});
        }
    }
    if (v.lan2) {
        if (v.alone) {
            run_command({"/sbin/mii-tool", "-F", "100baseTx-FD", "eth1"});
            sleep_s(1);
        }
        assign_if_address(setup.record, "eth1");
    }
    if (v.lan2_gigalb) {
        // eth1's PHY loops its own frames back; the end of the run undoes it.
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x001f", "0x0a43"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x8000"});
        sleep_s(1);
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x0140"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0018", "0x2d18"});
        sleep_s(3);
        assign_if_address(setup.record, "eth1");
    }
    if (v.lan2_ping) {
        setup.discovery.start_peer_discovery("eth1");
        assign_if_address(setup.record, "eth1");
    }
    if (v.lan3) {
        run_command({"/sbin/mii-tool", "-F", "100baseTx-FD", "eth2"});
        sleep_s(1);
        assign_if_address(setup.record, "eth2");
    }
    if (v.lan4) {
        run_command(
            {"/sbin/ethtool", "-s", "eth3", "autoneg", "off", "speed", "100", "duplex", "full"});
        sleep_s(1);
    }
    if (v.joins_access_point()) {
        set_wireless("wlan0", config.ap_essid.data());
        assign_if_address(setup.record, "wlan0");
    } else if (v.pairs_wifi()) {
        if (setup.net.wlan_pair_exchange("eth1", "wlan0", setup.record.serial) < 0) return -1;
    }
    return 0;
}

}  // namespace ovik
