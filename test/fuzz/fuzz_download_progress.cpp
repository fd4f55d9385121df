// The download progress reader on any output of the upgrade script. The first byte is the
// progress an earlier download left (0 to 100; it is never reset), the rest is the output.
//
// Invariants: the output alone never takes progress past 95 (nor moves it when it is above
// that), never lowers it except to -1, and -1 comes only from a line holding an error word.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "base/unique_fd.h"
#include "fuzz_support.h"
#include "platform/download.h"

namespace {

bool has_error_word(const std::string& output) {
    for (const char* w : {"error", "fail", "Error", "Fail", "ERROR", "FAIL"}) {
        if (output.find(w) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ovik::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    if (size < 1) return 0;
    const int32_t start = data[0] % 101;
    const std::string output(reinterpret_cast<const char*>(data + 1), size - 1);
    const fuzz::MemFile file(output);
    const UniqueFile f(std::fopen(file.path().c_str(), "r"));
    if (!f) return 0;

    std::atomic<int32_t> progress{start};
    follow_upgrade_output(f.get(), "fw.bin", progress);
    const int32_t end = progress.load();
    if (end == -1) {
        FUZZ_CHECK(has_error_word(output));
    } else {
        FUZZ_CHECK(end >= start && end <= std::max(start, 95));
    }
    if (!has_error_word(output)) FUZZ_CHECK(end != -1);
    return 0;
}
