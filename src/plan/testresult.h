// plan: the result record that every reply to the test PC carries and the run's shared state;
// beside them in this library the configuration reader, the test plan and its item table,
// the test thread and the error log.
//
// The record is shared by the main thread (host link) and the test thread without a lock:
// every word that both threads touch after start-up is an atomic, used relaxed, since no
// reader needs to see two of them in step. The wire form of the record is made in the host
// link; here the fields are held in host order, except ip, softwareid and apid, which are
// held in network order as they arrive from the address and configuration code.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "wire/frames.h"

namespace ovik {

struct ItemEntry {
    std::array<std::atomic<char>, wire::ITEM_NAME_SIZE> name{};
    std::atomic<uint32_t> fail{0};

    void set_name(const char* text);
    std::string name_text() const;
};

struct TestResult {
    uint16_t code = 0;
    uint16_t ser = 0;
    uint32_t serial = 0;
    uint32_t ip = 0;          // network order
    uint16_t softwareid = 0;  // network order
    uint32_t apid = 0;        // network order
    std::atomic<uint16_t> status{0};
    uint16_t error = 0;
    uint32_t burntime = 0;
    std::atomic<uint32_t> cycles{0};
    uint32_t diagsent = 0;
    uint32_t diagrecv = 0;
    std::array<uint8_t, 6> datetime{};
    uint16_t portnum = 0;
    std::array<std::atomic<uint32_t>, wire::PORT_COUNT> portfail{};
    std::array<ItemEntry, wire::ITEM_COUNT> item{};
    std::atomic<uint32_t> wlan_ping_sent{0};
    std::atomic<uint32_t> wlan_ping_recv{0};
    std::atomic<uint8_t> wlan_signal{0};
    std::atomic<uint8_t> wlan_bitrate{0};

    // Every field to zero, as at start-up.
    void clear();
};

// The run's shared state: the record, the failure and stop flags, and the serial ports'
// baud rate. main creates one and hands it to the host link, the test thread and the tests.
struct RunState {
    TestResult testresult;
    // Run failure flag: 0 from start-up, -1 once any test failed or the PC declared a failure.
    std::atomic<int32_t> testfail{0};
    // Stop request from the PC; never cleared.
    std::atomic<uint32_t> teststop{0};
    // Baud rate of the serial loop-back test, set by the PC's set-parameter command.
    std::atomic<uint32_t> serial_baud{115200};

    uint16_t status() const { return testresult.status.load(std::memory_order_relaxed); }
    void set_status(uint16_t s) { testresult.status.store(s, std::memory_order_relaxed); }
    bool failed() const { return testfail.load(std::memory_order_relaxed) != 0; }
    void mark_failed() { testfail.store(-1, std::memory_order_relaxed); }
};

// Relaxed increment of a counter.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace ovik
