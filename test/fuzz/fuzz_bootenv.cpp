// The boot-loader value reader on any fw_printenv output, searched for a fixed variable and for
// a name taken from the input (its first line), and the serial number taken from the value.
//
// Invariants: a readable dump always gives a value; the value has at most 15 characters and no
// line feed, and comes from a line that holds the name; the serial number is the number of at
// most four digits, 0 to 9999; mm_flags reads as a number that is never negative.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/bootenv.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ovik::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string asked = ovik::fuzz::c_text(data, cut == std::string::npos ? 0 : cut);
    const std::string dump = cut == std::string::npos ? input : input.substr(cut + 1);
    const fuzz::MemFile file(dump);
    if (!file.valid()) return 0;

    for (const std::string& name : {std::string("serialnumber"), std::string("mm_flags"), asked}) {
        const auto value = find_bootenv_value(file.path().c_str(), name.c_str());
        FUZZ_CHECK(value.has_value());
        FUZZ_CHECK(value->size() <= BOOTENV_VALUE_MAX);
        FUZZ_CHECK(value->find('\n') == std::string::npos);
        if (!value->empty()) FUZZ_CHECK(dump.find(name) != std::string::npos);

        const int32_t serial = serial_from_text(*value);
        FUZZ_CHECK(serial >= 0 && serial <= 9999);
        FUZZ_CHECK(mm_flags_from_text(*value) >= 0);
    }
    return 0;
}
