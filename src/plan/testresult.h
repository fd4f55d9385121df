// testing: the result record that every reply to the test PC carries, the test plan and its
// item table, the test thread, the configuration loader and the error log.
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

extern TestResult testresult;

// Run failure flag: 0 from start-up, -1 once any test failed or the PC declared a failure.
extern std::atomic<int32_t> testfail;
// Stop request from the PC; never cleared.
extern std::atomic<uint32_t> teststop;

// Relaxed helpers for the counters.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}
inline uint16_t run_status() {
    return testresult.status.load(std::memory_order_relaxed);
}
inline void set_run_status(uint16_t status) {
    testresult.status.store(status, std::memory_order_relaxed);
}

}  // namespace ovik
