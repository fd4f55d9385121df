#include "base/console.h"

#include <cstdarg>
#include <cstdio>

namespace ovik {

// Process-wide by nature: -q silences every console line of every thread.
std::atomic<int> quiet{0};

void say(const char* fmt, ...) {
    if (is_quiet()) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

void say_framed(const char* fmt, ...) {
    if (is_quiet()) return;
    const ConsoleBlock block;
    std::fputs("=======================\n", stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fputs("\n=======================\n", stdout);
}

void use_line_buffered_stdout() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

}  // namespace ovik
