// The test plan: the fixed catalogue of test slots, filled by the configuration loader,
// numbered into the item table when the test thread starts, and walked once per cycle.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace ovik {

// Test function contract: -1 is a failure in this cycle, anything else a pass. Tests bound
// their own waits, report their own failures and never touch the item counters.
using TestFn = int (*)();
using TestFnOnDevice = int (*)(const char* device);
using TestFnOnPair = int (*)(const char* first, const char* second);

enum class Slot : uint8_t {
    Serial,
    Serial2W,
    LAN2,
    LAN3,
    LAN4,
    ExStorage,
    USB1,
    MSATA,
    SSD,
    MEM,
    SD,
    DIO,
    CAN,
    CAN2,
    CAN0CAN1,
    GPS,
    Cellular,
    Cellular2,
    Cellular3,
    WLAN,
    TPM,
    TPM2,
};
inline constexpr std::size_t SLOT_COUNT = 22;

struct TestSlot {
    const char* name;       // item name; nullptr for the serial slots, which count per port
    TestFn func = nullptr;  // the slot's test, when it takes no argument
    TestFnOnDevice func_on_device = nullptr;  // CAN and cellular tests
    TestFnOnPair func_on_pair = nullptr;      // the two-port CAN test
    uint32_t item = 0;
    int32_t interval = 0;  // cellular slots: the test runs every interval + 1 cycles
    int32_t countdown = 0;

    bool filled() const {
        return func != nullptr || func_on_device != nullptr || func_on_pair != nullptr;
    }
    bool numbered() const { return name != nullptr; }
    void clear() {
        func = nullptr;
        func_on_device = nullptr;
        func_on_pair = nullptr;
    }
};

using TestPlan = std::array<TestSlot, SLOT_COUNT>;

// The process's plan, in catalogue order.
extern TestPlan testplan;

inline TestSlot& slot(Slot s) {
    return testplan[static_cast<std::size_t>(s)];
}

// Empties every slot (start-up state).
void reset_testplan();

// Numbers the filled slots into testresult.item, clears the port counters, and gives eth2 and
// eth3 their addresses when their tests are on.
void build_test_items();

}  // namespace ovik
