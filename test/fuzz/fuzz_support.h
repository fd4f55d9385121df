// What every fuzz target shares: inputs as files without touching the file system, a quiet
// console, and a check that ends the run with a message when an invariant breaks.
//
// Linking fuzz_support.cpp also replaces posix_spawn and posix_spawnp for the whole target:
// a target that would start an outside program (ifconfig, mount, fw_printenv, ...) aborts
// instead, so fuzzing can never act on this machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace ovik::fuzz {

// An anonymous in-memory file holding the input, reachable by path as /proc/self/fd/N.
class MemFile {
  public:
    explicit MemFile(std::string_view content);
    const std::string& path() const { return path_; }
    bool valid() const { return fd_.valid(); }

  private:
    UniqueFd fd_;
    std::string path_;
};

// Standard output to /dev/null: the code under test prints its console lines there.
void silence_stdout();

// Bytes as text; a text ends at its first zero byte, as a C reader sees it.
inline std::string c_text(const uint8_t* data, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    return s.substr(0, s.find('\0'));
}

[[noreturn]] void violated(const char* file, int line, const char* what);

// The result of searching text for the entries of a table: hit is an entry that occurs in the
// text, and nullptr only when none does.
template <std::size_t N, std::size_t M>
bool search_result_consistent(const char* text, const char (&table)[N][M], const char* hit) {
    bool in_table = false;
    for (const char* entry : table) {
        if (hit == nullptr && std::strstr(text, entry) != nullptr) return false;
        in_table = in_table || hit == entry;
    }
    return hit == nullptr || (in_table && std::strstr(text, hit) != nullptr);
}

}  // namespace ovik::fuzz

// An invariant of the code under test; its failure is a finding like a sanitizer report.
#define FUZZ_CHECK(cond)                                                \
    do {                                                                \
        if (!(cond)) ::ovik::fuzz::violated(__FILE__, __LINE__, #cond); \
    } while (0)
