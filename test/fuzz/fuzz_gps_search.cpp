// The GPS sentence search on any block a receiver can send: up to 256 bytes, read into the
// zeroed buffer the test reads into.
//
// Invariants: a hit is an entry of the sentence table that occurs in the text; no hit means no
// entry occurs in it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "checks/net/net_checks.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    char grbuf[257] = {};
    std::memcpy(grbuf, data, std::min<std::size_t>(size, 256));
    FUZZ_CHECK(fuzz::search_result_consistent(grbuf, nmea_ids, find_nmea_id(grbuf)));
    return 0;
}
