// The test table: one row per test the agent knows, with its item name, the configuration keys
// that turn it on and give it its devices, what it is called with, and the check itself. The
// configuration reader, the plan's slots, the item numbering and the test cycle all walk these
// rows; the program gives the table (main/test_table.cpp holds the agent's).
#pragma once

#include <cstdint>
#include <span>

namespace ovik {

struct Configuration;

// The objects the checks keep their state in; the program defines them.
struct Checks;

// What a check is called with: the device names of its row, or the one its device key named.
struct TestCall {
    const char* first = "";
    const char* second = "";
};

// Test function contract: -1 is a failure in this cycle, anything else a pass. Tests bound
// their own waits, report their own failures and never touch the item counters.
using Check = int (*)(Checks& checks, const TestCall& call);

// A key of the file besides the one that turns the test on, read while it is on.
struct TestKey {
    enum class Kind : uint8_t {
        None,
        Text,         // a required text, stored in `text` (none: the call's device)
        StorageName,  // a required text that also names a mount point under /media
        MsataNode,    // the mSATA node as the file named by `name` gives it ("sda" without it)
        Integer,      // an integer stored in `integer`, `absent` when the key is missing
        Ports,        // the number of serial ports, 0 to 64, carried in the record
        Interval,     // the test runs every value + 1 cycles; 0 when the key is missing
    };
    Kind kind = Kind::None;
    const char* name = nullptr;
    std::span<char> (*text)(Configuration&) = nullptr;
    int32_t& (*integer)(Configuration&) = nullptr;
    int32_t absent = 0;
};

// A key that must read as on (or off) for a row to be the one its enabling key chooses.
struct Condition {
    const char* key = nullptr;
    bool on = true;
};

struct TestRow {
    // The item name the PC sees; none for the serial tests, which count per port. Rows with
    // the same item share its slot: the last one the file turns on decides the slot's test.
    const char* item = nullptr;
    const char* key = nullptr;  // turns the test on
    // Plain arrays, so that a row lists its keys in braces of their own.
    Condition when[2] = {};
    TestKey keys[3] = {};
    const char* devices[2] = {};    // what the check is called with, when fixed
    const char* address = nullptr;  // interface given its plan address when the item is numbered
    void (*apply)(Configuration&) = nullptr;  // what else turning the test on sets
    const char* empties[3] = {};              // items whose slots this test empties
    Check check = nullptr;
};

// Where a text or integer key of a row goes in the configuration.
template <auto Field>
std::span<char> text_field(Configuration& c) {
    return c.*Field;
}
template <auto Field>
int32_t& integer_field(Configuration& c) {
    return c.*Field;
}

}  // namespace ovik
