// plan: the result record that the test thread counts in and the run's shared state; beside
// them in this library the configuration reader, the test plan and its item table, the test
// thread and the error log.
//
// The record holds the agent's identity and what the tests count, every number in host order;
// the host link adds the fields of its own and makes the wire form when it sends a frame. The
// record is shared by the main thread (host link) and the test thread without a lock: every
// word that both threads touch after start-up is an atomic, used relaxed, since no reader needs
// to see two of them in step.
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
    // Identity, set at start-up.
    uint32_t serial = 0;
    uint32_t ip = 0;  // eth0's address
    uint16_t softwareid = 0;
    uint32_t apid = 0;
    uint16_t portnum = 0;  // serial ports the serial tests cover
    // Counted by the test thread and the tests; cleared by the host link's start and reset.
    std::atomic<uint32_t> cycles{0};
    std::array<std::atomic<uint32_t>, wire::PORT_COUNT> portfail{};
    std::array<ItemEntry, wire::ITEM_COUNT> item{};
    std::atomic<uint32_t> wlan_ping_sent{0};
    std::atomic<uint32_t> wlan_ping_recv{0};
    std::atomic<uint8_t> wlan_signal{0};
    std::atomic<uint8_t> wlan_bitrate{0};

    // Every field to zero, as at start-up.
    void clear();
};

// The run's shared state: the record, the run status, the failure and stop flags, and the
// serial ports' baud rate. main creates one and hands it to the host link, the test thread and
// the tests.
struct RunState {
    TestResult testresult;
    // Written by the host link, read by the test thread between its cycles.
    std::atomic<uint16_t> run_status{wire::STATUS_IDLE};
    // Run failure flag: 0 from start-up, -1 once any test failed or the PC declared a failure.
    std::atomic<int32_t> testfail{0};
    // Stop request from the PC; never cleared.
    std::atomic<uint32_t> teststop{0};
    // Baud rate of the serial loop-back test, set by the PC's set-parameter command.
    std::atomic<uint32_t> serial_baud{115200};

    uint16_t status() const { return run_status.load(std::memory_order_relaxed); }
    void set_status(uint16_t s) { run_status.store(s, std::memory_order_relaxed); }
    bool failed() const { return testfail.load(std::memory_order_relaxed) != 0; }
    void mark_failed() { testfail.store(-1, std::memory_order_relaxed); }
};

// Relaxed increment of a counter.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace ovik
