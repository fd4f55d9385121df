#include "plan/testplan.h"

#include <cstring>

namespace ovik {

namespace {

bool same_slot(const TestRow& a, const TestRow& b) {
    if (a.item != nullptr || b.item != nullptr) {
        return a.item != nullptr && b.item != nullptr && std::strcmp(a.item, b.item) == 0;
    }
    return std::strcmp(a.key, b.key) == 0;
}

}  // namespace

TestCall TestSlot::call() const {
    if (row->devices[0] == nullptr) return TestCall{device.data(), ""};
    return TestCall{row->devices[0], row->devices[1] != nullptr ? row->devices[1] : ""};
}

TestPlan::TestPlan(std::vector<TestRow> rows) : rows_(std::move(rows)) {
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        std::size_t s = 0;
        while (s < r && !same_slot(rows_[s], rows_[r])) ++s;
        if (s == r) {
            slot_of_row_.push_back(slots_.size());
            slots_.push_back(TestSlot{rows_[r].item});
        } else {
            slot_of_row_.push_back(slot_of_row_[s]);
        }
    }
}

const TestSlot* TestPlan::find(const char* item) const {
    for (const TestSlot& s : slots_) {
        if (s.numbered() && std::strcmp(s.name, item) == 0) return &s;
    }
    return nullptr;
}

void number_test_items(TestPlan& testplan, TestResult& record) {
    for (auto& p : record.portfail) p.store(0, std::memory_order_relaxed);
    uint32_t n = 0;
    for (TestSlot& s : testplan.slots()) {
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

}  // namespace ovik
