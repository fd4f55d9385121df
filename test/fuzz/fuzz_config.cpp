// The configuration reader on any INI text, and the application of what it accepts, once
// against an empty plan and once against a plan that an earlier file filled. The catalogue
// offers an inert test for every slot but LAN3 and LAN4, whose numbering gives interfaces
// their addresses, and mSATA: files that turn those on are refused, so nothing is ever run.
// The one file read besides the input is the mSATA node file, /dev/shm/mSATA_node, when the
// input turns mSATA on.
//
// Invariants: a file is either accepted without a refusal text or refused with one that ends
// in "cannot parse file: PATH"; an accepted file, applied, leaves the test thread an item
// table that holds every numbered test, storage names that fit their mount points, and a port
// count the serial tests can serve.
#include <iniparser.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/console.h"
#include "base/text.h"
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
int silent_parser_error(const char*, ...) {
    return 0;
}

TestCatalogue inert_catalogue() {
    TestCatalogue c;
    c.testserial = c.testserial2W = c.testLAN2Raw = c.testLAN2Ping = c.testWLANAlone =
        c.testWLANPair = c.testWLANDetect = c.testStorageMerge = c.testUSB1 = c.testSSD = c.testSD =
            c.testMEM = c.testTPM = c.testTPM2 = c.testDIO = c.testGPS = inert;
    c.testCAN = c.testCELL_AT = inert_on;
    c.testTwoCAN = inert_on_pair;
    return c;
}

// What the files of one start-up fill.
struct Loaded {
    TestPlan plan;
    Configuration config;
    TestResult record;
};

std::size_t numbered_filled_slots(const TestPlan& plan) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) n += plan[i].numbered() && plan[i].filled();
    return n;
}

void read_and_apply(const fuzz::MemFile& file, const TestCatalogue& catalogue, Loaded& into) {
    const ConfigResult result = read_config(file.path().c_str(), catalogue, into.plan);
    if (!result.file) {
        FUZZ_CHECK(result.refusal.ends_with("cannot parse file: " + file.path() + "\n"));
        return;
    }
    FUZZ_CHECK(result.refusal.empty());
    apply_config(*result.file, into.config, into.plan, into.record);

    FUZZ_CHECK(numbered_filled_slots(into.plan) <= wire::ITEM_COUNT);
    for (const DeviceName* name : {&into.config.usb1_device, &into.config.sd_device}) {
        FUZZ_CHECK(text_of(*name).size() <= STORAGE_NAME_MAX);
    }
    if (into.plan.slot(Slot::Serial).filled()) {
        FUZZ_CHECK(into.record.portnum <= SERIAL_PORT_MAX);
    }
    FUZZ_CHECK(into.config.storagemask <= (STORAGE_USB1 | STORAGE_MSATA | STORAGE_SD));

    // The test thread numbers exactly the filled slots.
    build_test_items(into.plan, into.record);
    std::size_t named = 0;
    for (const ItemEntry& item : into.record.item) named += item.name_text().empty() ? 0 : 1;
    FUZZ_CHECK(named == numbered_filled_slots(into.plan));
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
    const TestCatalogue catalogue = inert_catalogue();

    Loaded first;
    read_and_apply(file, catalogue, first);

    // An earlier file filled three numbered slots: the input may add at most five more.
    Loaded second;
    for (Slot s : {Slot::LAN2, Slot::MEM, Slot::DIO}) second.plan.slot(s).func = catalogue.testMEM;
    read_and_apply(file, catalogue, second);
    return 0;
}
