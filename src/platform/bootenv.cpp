#include "platform/bootenv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "base/process.h"
#include "base/unique_fd.h"

namespace ovik {
namespace {

// Decimal conversion that stops at the first non-digit; 0 when there is no number. Blanks and
// signs are not digits: a text such as "-12" or " 12" holds no number. The callers' texts have
// at most 8 characters.
long leading_number(const std::string& text) {
    long n = 0;
    for (std::size_t i = 0; i < text.size() && i < 8; ++i) {
        if (text[i] < '0' || text[i] > '9') break;
        n = n * 10 + (text[i] - '0');
    }
    return n;
}

}  // namespace

std::optional<std::string> find_bootenv_value(const char* dump_path, const char* name) {
    UniqueFile dump(std::fopen(dump_path, "r"));
    if (!dump) {
        say("Cannot access boot-loader info.\n");
        return std::nullopt;
    }
    // fw_printenv's lines are short; a longer line is read in pieces, each tested on its own.
    char line[126];
    while (std::fgets(line, sizeof line, dump.get()) != nullptr) {
        if (std::strstr(line, name) == nullptr) continue;
        const char* eq = std::strchr(line, '=');
        std::string value;
        if (eq != nullptr) {
            value.assign(eq + 1, std::strcspn(eq + 1, "\n"));
        }
        if (value.size() > BOOTENV_VALUE_MAX) value.resize(BOOTENV_VALUE_MAX);
        say("result: %s\n", value.c_str());
        return value;
    }
    return std::string();
}

std::optional<std::string> get_bootenv(const char* name) {
    run_command_to_file({"fw_printenv"}, BOOTENV_DUMP_PATH);
    return find_bootenv_value(BOOTENV_DUMP_PATH, name);
}

int mm_flags_value() {
    return mm_flags_from_text(get_bootenv("mm_flags").value_or(""));
}

int mm_flags_from_text(const std::string& text) {
    return static_cast<int>(leading_number(text.substr(0, 8)));
}

int flag_bit(int f, int mask) {
    switch (mask) {
        case T1_1_FLAG:
            return (f >> 3) & 1;
        case EOT_FLAG:
            return (f >> 6) & 1;
        case T2_FLAG:
            return (f >> 7) & 1;
        default:
            return -1;
    }
}

std::optional<int> flag_update(int f, int op, int mask) {
    if (op == 1) return f | mask;
    if (op == 0) return f & ~mask;
    return std::nullopt;
}

int get_flag(int mask) {
    const int bit = flag_bit(mm_flags_value(), mask);
    switch (mask) {
        case T1_1_FLAG:
            say("T1_1_FLAG: %d\n", bit);
            break;
        case EOT_FLAG:
            say("EOT_FLAG: %d\n", bit);
            break;
        case T2_FLAG:
            say("T2_FLAG: %d\n", bit);
            break;
        default:
            say("Not support this flag!");
            break;
    }
    return bit;
}

int set_flag(int op, int mask) {
    const auto updated = flag_update(mm_flags_value(), op, mask);
    if (!updated) {
        say("Error input value in set_flag function.\n");
        return -1;
    }
    const int value = *updated;
    say(op == 1 ? "mflag is %d after set flag\n" : "mflag is %d after clear flag\n", value);
    ChildProcess::Options options;
    options.capture_stdout = true;
    auto child = ChildProcess::spawn({"fw_setenv", "mm_flags", std::to_string(value)}, options);
    if (!child) {
        say("Fail to execute fw_setenv!\n");
        return -1;
    }
    // Drain what it prints so it never blocks on a full pipe; its own status is not examined.
    char sink[256];
    while (std::fgets(sink, sizeof sink, child->output()) != nullptr) {
    }
    if (child->wait() < 0) {
        say("Fail to close file pointer in set_flag function.\n");
        return -1;
    }
    return 0;
}

int32_t serial_from_text(const std::string& text) {
    const std::string tail = text.size() > 4 ? text.substr(text.size() - 4) : text;
    return static_cast<int32_t>(leading_number(tail));
}

int32_t get_serial_number() {
    std::string text = get_bootenv("serialnumber").value_or("");
    if (text.size() > 16) text.resize(16);
    std::printf("Serial Number: %s\n", text.c_str());
    const int32_t sn = serial_from_text(text);
    say("sn = %d\n", sn);
    return sn;
}

}  // namespace ovik
