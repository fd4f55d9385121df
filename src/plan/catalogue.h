// The test functions that the configuration puts into the plan. They live in the check
// libraries above this one, bound to the objects that hold their state; the program hands
// them over before it reads a configuration. A key whose function this build lacks is
// refused when the file is read.
#pragma once

#include "plan/testplan.h"

namespace ovik {

struct TestCatalogue {
    TestFn testserial;
    TestFn testserial2W;
    TestFn testLAN2Raw;
    TestFn testLAN3Raw;
    TestFn testLAN4Raw;
    TestFn testLAN2Ping;
    TestFn testWLANAlone;
    TestFn testWLANPair;
    TestFn testWLANDetect;
    TestFn testStorageMerge;
    TestFn testUSB1;
    TestFn testmSATA;
    TestFn testSSD;
    TestFn testSD;
    TestFn testMEM;
    TestFn testTPM;
    TestFn testTPM2;
    TestFn testDIO;
    TestFn testGPS;
    TestFnOnDevice testCAN;
    TestFnOnPair testTwoCAN;
    TestFnOnDevice testCELL_AT;
};

}  // namespace ovik
