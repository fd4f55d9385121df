// The boot-loader environment: the serial number written at an earlier production step, and
// the production flags in mm_flags, reached only through fw_printenv and fw_setenv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ovik {

inline constexpr int T1_1_FLAG = 8;
inline constexpr int EOT_FLAG = 64;
inline constexpr int T2_FLAG = 128;

inline constexpr const char* BOOTENV_DUMP_PATH = "/dev/shm/temp.txt";
// Values are kept in a 16-byte field: at most 15 characters.
inline constexpr std::size_t BOOTENV_VALUE_MAX = 15;

// The value of the first line of fw_printenv's output that contains name (a substring test),
// cut to 15 characters; empty when no line matches; nullopt when the output cannot be read.
std::optional<std::string> get_bootenv(const char* name);

// The same search over a saved dump of the environment.
std::optional<std::string> find_bootenv_value(const char* dump_path, const char* name);

// mm_flags as a number: the first 8 characters read as a decimal integer (0 when none).
int mm_flags_value();
// The same from a mm_flags text.
int mm_flags_from_text(const std::string& text);

// Bit of mask in flags f: 0 or 1 for masks 8, 64 and 128, -1 for any other mask.
int flag_bit(int f, int mask);
// New mm_flags value for op 1 (set the mask's bits) or op 0 (clear them); nullopt for any other op.
std::optional<int> flag_update(int f, int op, int mask);

// 0 or 1 for masks 8, 64 and 128; -1 for any other mask.
int get_flag(int mask);
// op 1 sets, op 0 clears the mask's bits in mm_flags; 0 on success, -1 on failure.
int set_flag(int op, int mask);

// The numeric serial number: the last four characters of "serialnumber" read as a number.
int32_t get_serial_number();
// The same from a serialnumber text.
int32_t serial_from_text(const std::string& text);

}  // namespace ovik
