// What the station's tests share: a console whose text they can read, and the loopback address.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ovik::station::test {

using namespace std::chrono_literals;

inline constexpr uint32_t LOOPBACK = 0x7F000001;

// A FILE* whose text the test can read.
class Captured {
  public:
    Captured() : file_(::open_memstream(&buffer_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(buffer_);
    }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;

    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

}  // namespace ovik::station::test
