// The outside programs the agent runs, in one table: each by the name the agent starts it
// under and the exit statuses that mean it did its job. The runner reports any other status.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace ovik {

// A set of exit statuses (0 to 255).
class ExitStatuses {
  public:
    constexpr ExitStatuses(std::initializer_list<int> statuses) {
        for (const int s : statuses) {
            if (s >= 0 && s <= 255) {
                words_[static_cast<std::size_t>(s) / 64] |= std::uint64_t{1} << (s % 64);
            }
        }
    }
    constexpr bool contains(int status) const {
        return status >= 0 && status <= 255 &&
               (words_[static_cast<std::size_t>(status) / 64] >> (status % 64) & 1U) != 0;
    }
    // "0" or "0, 1": the statuses in ascending order, as the README lists them.
    std::string text() const;

  private:
    std::array<std::uint64_t, 4> words_{};
};

struct ProgramRule {
    std::string_view name;     // argv[0] exactly as the agent passes it
    ExitStatuses accepted;     // exit statuses that are not a failure
    std::string_view purpose;  // what the agent runs it for
};

// Every outside program the agent runs, in the order the README lists them.
std::span<const ProgramRule> program_table();

// The table's entry for a program named as argv[0], or nullptr when it has none.
const ProgramRule* program_rule(std::string_view name);

// Whether status is a success for the program named name: the table's statuses, or only 0
// for a program the table does not list.
bool status_accepted(std::string_view name, int status);

}  // namespace ovik
