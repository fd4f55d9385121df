// Preparing the interfaces that a configuration file asks for: PHY and link settings, serial
// transceivers, test addresses, peer discovery and the Wi-Fi set-up. Runs right after each
// file is applied, in the order of the file's keys.
#pragma once

#include "checks/net/net_checks.h"
#include "plan/config.h"
#include "plan/testresult.h"
#include "platform/discovery.h"

namespace ovik {

struct InterfaceSetup {
    TestResult& record;
    PeerDiscovery& discovery;
    NetChecks& net;
};

// 0, or -1 when the Wi-Fi pair exchange failed (its reason has been printed): the agent
// cannot run its Wi-Fi test then.
int prepare_interfaces(const ConfigFile& file, const Configuration& config, InterfaceSetup& setup);

}  // namespace ovik
