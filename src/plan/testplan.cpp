#include "plan/testplan.h"

#include "plan/address_plan.h"

namespace ovik {

TestPlan::TestPlan() {
    constexpr std::array<const char*, SLOT_COUNT> names = {
        nullptr,    nullptr,     "LAN2",      "LAN3", "LAN4", "exStorage", "USB1",      "mSATA",
        "SSD",      "MEM",       "SD",        "DIO",  "CAN",  "CAN2",      "CAN0&CAN1", "GPS",
        "Cellular", "Cellular2", "Cellular3", "WLAN", "TPM",  "TPM2",
    };
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) slots_[i].name = names[i];
}

void number_test_items(TestPlan& testplan, TestResult& record) {
    for (auto& p : record.portfail) p.store(0, std::memory_order_relaxed);
    uint32_t n = 0;
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) {
        TestSlot& s = testplan[i];
        if (!s.numbered() || !s.filled()) continue;
        // The loader refuses plans with more numbered tests than the table holds; never
        // write past its end all the same.
        if (n >= record.item.size()) break;
        s.item = n;
        record.item[n].set_name(s.name);
        record.item[n].fail.store(0, std::memory_order_relaxed);
        ++n;
    }
}

void build_test_items(TestPlan& testplan, TestResult& record) {
    number_test_items(testplan, record);
    if (testplan.slot(Slot::LAN3).filled()) assign_if_address(record, "eth2");
    if (testplan.slot(Slot::LAN4).filled()) assign_if_address(record, "eth3");
}

}  // namespace ovik
