#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/console.h"
#include "checks/local/local_checks.h"

namespace ovik {

namespace {
struct FreeBlock {
    void operator()(void* p) const { std::free(p); }
};
}  // namespace

int testMEM() {
    constexpr std::size_t BLOCK = 4096;
    const std::unique_ptr<void, FreeBlock> block(std::malloc(BLOCK));
    if (!block) {
        say("Err: memory allocation\n");
        return -1;
    }
    // Volatile so the check reads the memory back rather than trusting the compiler.
    volatile auto* bytes = static_cast<volatile unsigned char*>(block.get());
    for (std::size_t i = 0; i < BLOCK; ++i) bytes[i] = 0;
    for (std::size_t i = 0; i < BLOCK; ++i) {
        if (bytes[i] != 0) {
            say("Err: memory data error\n");
            return -1;
        }
    }
    return 0;
}

}  // namespace ovik
