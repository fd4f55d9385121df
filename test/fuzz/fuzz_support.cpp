#include "fuzz_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace ovik::fuzz {

MemFile::MemFile(std::string_view content) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (!fd_.valid()) return;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd_.get(), content.data() + done, content.size() - done);
        if (n <= 0) {
            fd_.reset();
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_.get());
}

void silence_stdout() {
    const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null.valid() || ::dup2(null.get(), STDOUT_FILENO) < 0) {
        std::perror("fuzz: standard output to /dev/null");
        std::abort();
    }
}

void violated(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace ovik::fuzz

namespace {

[[noreturn]] void refuse_spawn(const char* path) {
    std::fprintf(stderr, "fuzz: the code under test tried to start %s\n", path);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

// The only way the product starts programs; in a fuzz target that is always a finding.
extern "C" int posix_spawn(pid_t*, const char* path, const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const*, char* const*) {
    refuse_spawn(path);
}

extern "C" int posix_spawnp(pid_t*, const char* file, const posix_spawn_file_actions_t*,
                            const posix_spawnattr_t*, char* const*, char* const*) {
    refuse_spawn(file);
}
