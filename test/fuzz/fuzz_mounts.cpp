// The mount table reader on any text in the format of /proc/mounts, asked for a device and a
// mount point taken from the input: "DEVICE MOUNT_POINT\n" first, the table after it.
//
// Invariants: a match names both words somewhere in the table; a real mount line of the two
// words after the fuzzed table is always found, whatever came before it.
#include <cstdint>
#include <string>

#include "base/unique_fd.h"
#include "checks/local/local_checks.h"
#include "fuzz_support.h"

namespace ovik {
namespace {

int find_in(const std::string& table, const std::string& device, const std::string& mount_point) {
    const fuzz::MemFile file(table);
    const UniqueFile f(std::fopen(file.path().c_str(), "r"));
    if (!f) return -2;
    return find_mount_line(f.get(), device.c_str(), mount_point.c_str());
}

// A word as /proc/mounts writes one: no blank, line end or zero byte, as the reader keeps it.
bool plain_word(const std::string& w) {
    return !w.empty() && w.size() <= 63 && w.find_first_of(" \t\n\r\v\f") == std::string::npos;
}

}  // namespace
}  // namespace ovik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    if (cut == std::string::npos) return 0;
    const std::string head = fuzz::c_text(data, cut);
    const std::size_t blank = head.find(' ');
    if (blank == std::string::npos) return 0;
    const std::string device = head.substr(0, blank);
    const std::string mount_point = head.substr(blank + 1);
    const std::string table = input.substr(cut + 1);

    const int found = find_in(table, device, mount_point);
    FUZZ_CHECK(found == 0 || found == -1);
    if (found == 0) {
        FUZZ_CHECK(table.find(device) != std::string::npos);
        FUZZ_CHECK(table.find(mount_point) != std::string::npos);
    }
    const std::string line = device + " " + mount_point + " vfat rw,relatime 0 0\n";
    if (plain_word(device) && plain_word(mount_point) && line.size() <= 126) {
        FUZZ_CHECK(find_in(table + "\n" + line, device, mount_point) == 0);
    }
    return 0;
}
