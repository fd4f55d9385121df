// The pair message reader on any 24-byte payload (shorter input is padded with zero bytes), and
// the message builder on the serial and address texts taken from an accepted one.
//
// Invariants: an accepted message carries "ABC", a serial of one to five digits whose first
// four the pair uses, and a terminated dotted IPv4 address of digits and dots only (both texts
// reach command lines and file names); building a message from those texts gives one that is
// accepted and reads back the same.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "checks/net/net_checks.h"
#include "fuzz_support.h"

namespace ovik {
namespace {

struct Texts {
    std::string serial;  // up to its zero byte, at most five characters
    std::string ip;
};

Texts texts_of(const PairMessage& m) {
    char serial[6] = {};
    std::memcpy(serial, m.data() + 3, 5);
    char ip[17] = {};
    std::memcpy(ip, m.data() + 8, 16);
    return {serial, ip};
}

}  // namespace
}  // namespace ovik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    PairMessage msg{};
    std::memcpy(msg.data(), data, std::min(size, msg.size()));
    if (!pair_message_valid(msg)) return 0;

    FUZZ_CHECK(std::memcmp(msg.data(), "ABC", 3) == 0);
    const Texts t = texts_of(msg);
    FUZZ_CHECK(!t.serial.empty() && t.serial.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(t.ip.size() <= 15 && t.ip.find_first_not_of("0123456789.") == std::string::npos);
    in_addr parsed{};
    FUZZ_CHECK(::inet_pton(AF_INET, t.ip.c_str(), &parsed) == 1);

    const PairMessage again = build_pair_message(t.serial.c_str(), t.ip.c_str());
    FUZZ_CHECK(pair_message_valid(again));
    const Texts u = texts_of(again);
    FUZZ_CHECK(u.serial == t.serial && u.ip == t.ip);
    return 0;
}
