// The modem vendor search on any answer to AT+CGMI: up to 255 bytes, in the zeroed buffer
// the test appends its reads to.
//
// Invariants: a hit is an entry of the vendor table that occurs in the text, matched with its
// case; no hit means no entry occurs in it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "checks/net/net_checks.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    char at_buf[256] = {};
    std::memcpy(at_buf, data, std::min<std::size_t>(size, sizeof at_buf - 1));
    FUZZ_CHECK(fuzz::search_result_consistent(at_buf, cell_vendors, find_vendor(at_buf)));
    return 0;
}
