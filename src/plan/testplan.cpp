#include "plan/testplan.h"

#include "plan/address_plan.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

constexpr TestPlan empty_plan() {
    return TestPlan{{
        {nullptr},     {nullptr}, {"LAN2"},      {"LAN3"}, {"LAN4"},     {"exStorage"},
        {"USB1"},      {"mSATA"}, {"SSD"},       {"MEM"},  {"SD"},       {"DIO"},
        {"CAN"},       {"CAN2"},  {"CAN0&CAN1"}, {"GPS"},  {"Cellular"}, {"Cellular2"},
        {"Cellular3"}, {"WLAN"},  {"TPM"},       {"TPM2"},
    }};
}

}  // namespace

TestPlan testplan = empty_plan();

void reset_testplan() {
    testplan = empty_plan();
}

void build_test_items() {
    for (auto& p : testresult.portfail) p.store(0, std::memory_order_relaxed);
    uint32_t n = 0;
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) {
        TestSlot& s = testplan[i];
        if (!s.numbered() || !s.filled()) continue;
        // The loader refuses plans with more numbered tests than the table holds; never
        // write past its end all the same.
        if (n >= testresult.item.size()) break;
        if (static_cast<Slot>(i) == Slot::LAN3) assign_if_address("eth2");
        if (static_cast<Slot>(i) == Slot::LAN4) assign_if_address("eth3");
        s.item = n;
        testresult.item[n].set_name(s.name);
        testresult.item[n].fail.store(0, std::memory_order_relaxed);
        ++n;
    }
}

}  // namespace ovik
