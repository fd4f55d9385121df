// Fixed text fields: the device's names and numbers travel in zero-terminated fields of a
// fixed size, and text from outside is cut to fit and always terminated there.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace ovik {

// Copies text into the field, cut to N - 1 characters, and zero-fills the rest.
inline void copy_text(char* field, std::size_t n, std::string_view text) {
    if (n == 0) return;
    const std::size_t len = std::min(text.size(), n - 1);
    std::memcpy(field, text.data(), len);
    std::memset(field + len, 0, n - len);
}
template <std::size_t N>
void copy_text(std::array<char, N>& field, std::string_view text) {
    copy_text(field.data(), N, text);
}
template <std::size_t N>
void copy_text(char (&field)[N], std::string_view text) {
    copy_text(field, N, text);
}

// Text of a fixed field, up to its terminator or its end.
template <std::size_t N>
std::string text_of(const std::array<char, N>& field) {
    return std::string(field.data(), ::strnlen(field.data(), N));
}

}  // namespace ovik
