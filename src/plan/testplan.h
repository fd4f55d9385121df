// The test plan: one slot per item of the test table (and one per serial test), in the
// table's order, filled from the configuration, numbered into the item table when the test
// thread starts, and walked once per cycle.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "plan/test_table.h"
#include "plan/testresult.h"

namespace ovik {

inline constexpr std::size_t DEVICE_NAME_SIZE = 16;
using DeviceName = std::array<char, DEVICE_NAME_SIZE>;

struct TestSlot {
    const char* name = nullptr;    // item name; nullptr for the serial slots
    const TestRow* row = nullptr;  // the test the configuration chose; nullptr: empty
    DeviceName device{};           // the device its key named, for the call
    uint32_t item = 0;
    int32_t interval = 0;  // the test runs every interval + 1 cycles
    int32_t countdown = 0;

    bool filled() const { return row != nullptr; }
    bool numbered() const { return name != nullptr; }
    TestCall call() const;
};

// The table's rows and the slots they fill, every one empty until the configuration fills it.
class TestPlan {
  public:
    explicit TestPlan(std::vector<TestRow> rows);
    TestPlan(const TestPlan&) = delete;
    TestPlan& operator=(const TestPlan&) = delete;

    std::span<const TestRow> rows() const { return rows_; }
    std::span<TestSlot> slots() { return slots_; }
    std::span<const TestSlot> slots() const { return slots_; }
    // The slot a row fills.
    TestSlot& slot_of(std::size_t row) { return slots_[slot_of_row_[row]]; }
    std::size_t slot_index(std::size_t row) const { return slot_of_row_[row]; }
    // The slot of the item, nullptr when the table has none.
    const TestSlot* find(const char* item) const;

  private:
    std::vector<TestRow> rows_;
    std::vector<TestSlot> slots_;
    std::vector<std::size_t> slot_of_row_;
};

// Numbers the filled slots into the record's item table and clears the port counters.
void number_test_items(TestPlan& testplan, TestResult& record);

}  // namespace ovik
