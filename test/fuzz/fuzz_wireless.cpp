// The /proc/net/wireless line reader on any line as the reader gets it: up to 254 characters,
// ending with its line feed, for wlan0.
//
// Invariants: a quality is found only on the interface's own line (blanks, "wlan0:", then the
// fields) and is a byte value, 0 to 255; every other line gives -1.
#include <algorithm>
#include <cstdint>
#include <string>

#include "checks/net/net_checks.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    std::string line = fuzz::c_text(data, std::min<std::size_t>(size, 254));
    line = line.substr(0, line.find('\n') == std::string::npos ? line.size() : line.find('\n') + 1);
    const int quality = wireless_quality(line.c_str(), "wlan0");
    FUZZ_CHECK(quality >= -1 && quality <= 255);
    if (quality >= 0) {
        const std::size_t first = line.find_first_not_of(" \t\n\r\v\f");
        FUZZ_CHECK(first != std::string::npos && line.compare(first, 6, "wlan0:") == 0);
    }
    return 0;
}
