// The configuration reader on any INI text, and the application of what it accepts, once
// against an empty plan and once against a plan that an earlier file filled. The table is the
// agent's, without the checks of LAN3 and LAN4, whose numbering gives interfaces their
// addresses, and mSATA: files that turn those on are refused. No check is ever run.
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
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "fuzz_support.h"
#include "main/test_table.h"
#include "plan/config.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

int silent_parser_error(const char*, ...) {
    return 0;
}

// The agent's rows, less the checks of the rows that reach outside the process.
std::vector<TestRow> fuzzed_tests() {
    std::vector<TestRow> rows = agent_tests();
    for (TestRow& r : rows) {
        const std::string key = r.key;
        if (key == "ethernet:TestLAN3" || key == "ethernet:TestLAN4" ||
            key == "storage:TestmSATA") {
            r.check = nullptr;
        }
    }
    return rows;
}

// What the files of one start-up fill.
struct Loaded {
    TestPlan plan{fuzzed_tests()};
    Configuration config;
    TestResult record;
};

std::size_t numbered_filled_slots(const TestPlan& plan) {
    std::size_t n = 0;
    for (const TestSlot& s : plan.slots()) n += s.numbered() && s.filled();
    return n;
}

void read_and_apply(const fuzz::MemFile& file, Loaded& into) {
    const ConfigResult result = read_config(file.path().c_str(), into.plan);
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
    if (into.plan.slots()[0].filled()) {
        FUZZ_CHECK(into.record.portnum <= SERIAL_PORT_MAX);
    }
    FUZZ_CHECK(into.config.storagemask <= (STORAGE_USB1 | STORAGE_MSATA | STORAGE_SD));

    // The test thread numbers exactly the filled slots.
    number_test_items(into.plan, into.record);
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
    Loaded first;
    read_and_apply(file, first);

    // An earlier file filled three numbered slots: the input may add at most five more.
    Loaded second;
    for (TestSlot& s : second.plan.slots()) {
        for (const char* item : {"LAN2", "MEM", "DIO"}) {
            if (s.numbered() && std::string_view(s.name) == item) s.row = &second.plan.rows()[0];
        }
    }
    read_and_apply(file, second);
    return 0;
}
