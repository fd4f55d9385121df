// The test functions and set-up steps that the configuration loader puts into the plan. They
// live in the test libraries above this one; the program hands them over before it loads a
// configuration. A key whose function this build lacks is refused at load time.
#pragma once

#include <cstdint>

#include "plan/testplan.h"

namespace ovik {

struct TestCatalogue {
    TestFn testserial = nullptr;
    TestFn testserial2W = nullptr;
    TestFn testLAN2Raw = nullptr;
    TestFn testLAN3Raw = nullptr;
    TestFn testLAN4Raw = nullptr;
    TestFn testLAN2Ping = nullptr;
    TestFn testWLANAlone = nullptr;
    TestFn testWLANPair = nullptr;
    TestFn testWLANDetect = nullptr;
    TestFn testStorageMerge = nullptr;
    TestFn testUSB1 = nullptr;
    TestFn testmSATA = nullptr;
    TestFn testSSD = nullptr;
    TestFn testSD = nullptr;
    TestFn testMEM = nullptr;
    TestFn testTPM = nullptr;
    TestFn testTPM2 = nullptr;
    TestFn testDIO = nullptr;
    TestFn testGPS = nullptr;
    TestFnOnDevice testCAN = nullptr;
    TestFnOnPair testTwoCAN = nullptr;
    TestFnOnDevice testCELL_AT = nullptr;

    // Set-up steps of the network tests.
    int (*start_peer_discovery)(const char* iface) = nullptr;
    int (*set_wireless)(const char* iface, const char* essid) = nullptr;
    int (*wlan_pair_exchange)(const char* wired, const char* wifi, uint32_t serial) = nullptr;
};

// What this build offers; filled by the program before the configuration is loaded.
extern TestCatalogue catalogue;

}  // namespace ovik
