// Console output of the agent: plain lines on standard output, most of them silenced by -q.
#pragma once

#include <atomic>
#include <cstdio>

namespace ovik {

// Set by -q; every message marked "unless quiet" checks it.
extern std::atomic<int> quiet;

inline bool is_quiet() {
    return quiet.load(std::memory_order_relaxed) != 0;
}

// printf to standard output unless quiet.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Keeps other threads' lines out of a block of console lines while it lives, by holding
// standard output's own lock (recursive: say() inside the block goes on). Only around
// printing, never around a wait: the host link prints too.
class ConsoleBlock {
  public:
    ConsoleBlock() { ::flockfile(stdout); }
    ~ConsoleBlock() { ::funlockfile(stdout); }
    ConsoleBlock(const ConsoleBlock&) = delete;
    ConsoleBlock& operator=(const ConsoleBlock&) = delete;
};

// A verdict line framed by two rules, unless quiet: the line is fmt's text followed by a
// newline. Printed as one block, so that no other thread's line lands inside the frame.
void say_framed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Line-buffered standard output, so a console reader sees every line as it is made.
void use_line_buffered_stdout();

}  // namespace ovik
