// The configuration loader on any INI text. The catalogue offers inert tests for every slot
// whose set-up runs no command; the others (two-wire serial, the LAN ports, the access point
// and the mSATA node file) stay empty, so files that turn them on are refused and nothing is
// ever run or read outside the input.
//
// Invariants: load_config returns 0 or -1; a refused file changes nothing; an accepted one
// leaves the test thread an item table that holds every numbered test, storage names that fit
// their mount points, and a port count the serial tests can serve.
#include <iniparser.h>

#include <cstdint>
#include <string_view>

#include "base/console.h"
#include "fuzz_support.h"
#include "plan/catalogue.h"
#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

int inert() {
    return 0;
}
int inert_on(const char*) {
    return 0;
}
int inert_on_pair(const char*, const char*) {
    return 0;
}
int inert_pair_exchange(const char*, const char*, uint32_t) {
    return 0;
}
int silent_parser_error(const char*, ...) {
    return 0;
}

TestCatalogue inert_catalogue() {
    TestCatalogue c;
    c.testserial = c.testWLANPair = c.testWLANDetect = c.testStorageMerge = c.testUSB1 = c.testSSD =
        c.testSD = c.testMEM = c.testTPM = c.testTPM2 = c.testDIO = c.testGPS = inert;
    c.testCAN = c.testCELL_AT = inert_on;
    c.testTwoCAN = inert_on_pair;
    c.wlan_pair_exchange = inert_pair_exchange;
    return c;
}

std::size_t numbered_filled_slots() {
    std::size_t n = 0;
    for (const TestSlot& s : testplan) n += s.numbered() && s.filled() ? 1 : 0;
    return n;
}

bool plan_empty() {
    for (const TestSlot& s : testplan) {
        if (s.filled()) return false;
    }
    return true;
}

}  // namespace
}  // namespace ovik

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ovik::fuzz::silence_stdout();
    ovik::quiet.store(1);
    iniparser_set_error_callback(ovik::silent_parser_error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    const fuzz::MemFile file(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!file.valid()) return 0;
    testresult.clear();
    testresult.serial = 1234;
    config = Configuration{};
    reset_testplan();
    catalogue = inert_catalogue();

    const int rc = load_config(file.path().c_str());
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(plan_empty());
        FUZZ_CHECK(testresult.softwareid == 0 && testresult.apid == 0 && testresult.portnum == 0);
        FUZZ_CHECK(config.downloadfwr == 0 && config.storagemask == 0);
        FUZZ_CHECK(text_of(config.serial_device).empty() && text_of(config.gps_device).empty());
        return 0;
    }
    FUZZ_CHECK(numbered_filled_slots() <= wire::ITEM_COUNT);
    for (const DeviceName* name : {&config.usb1_device, &config.sd_device}) {
        FUZZ_CHECK(text_of(*name).size() <= STORAGE_NAME_MAX);
    }
    if (slot(Slot::Serial).filled()) FUZZ_CHECK(testresult.portnum <= SERIAL_PORT_MAX);
    FUZZ_CHECK(config.storagemask <= (STORAGE_USB1 | STORAGE_MSATA | STORAGE_SD));

    // The test thread numbers exactly the filled slots, in catalogue order.
    build_test_items();
    std::size_t named = 0;
    for (const ItemEntry& item : testresult.item) named += item.name_text().empty() ? 0 : 1;
    FUZZ_CHECK(named == numbered_filled_slots());
    return 0;
}
