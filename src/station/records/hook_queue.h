// The verdict hook's calls in the run records (table verdict_hooks): one per device of a run
// whose verdict is final, with the JSON its program gets, kept until the program took it
// (exit status 0). A station that stopped before then, or whose hook failed or hung, leaves
// the call for the next station of the same name, which calls the hook again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/records/records_connection.h"

namespace ovik::station {

struct HookCall {
    int64_t id = 0;  // its row; 0 until it is recorded
    int64_t run = 0;
    std::string device;  // the serial number; "@ADDRESS" for a device that never answered
    std::string body;    // the device's JSON
    int attempts = 0;    // earlier calls of the hook that did not end in exit status 0
};

class HookQueue {
  public:
    // How many times a call is tried in all, by this station and the next ones.
    static constexpr int MAX_ATTEMPTS = 5;

    // A connection of its own to the records that where names; their schema must be up to
    // date (RunRecords::open with writable). nullptr with error set.
    static std::unique_ptr<HookQueue> open(const std::string& where, std::string& error);
    explicit HookQueue(std::unique_ptr<records::RecordsConnection> c) : c_(std::move(c)) {}

    // Records call unless its device has one in its run already: true, with its id and
    // attempts, when the hook is still to be called; false when it was done (or tried
    // MAX_ATTEMPTS times); nullopt with error set.
    std::optional<bool> add(HookCall& call, const std::string& station, std::string& error);
    // The calls of station still to be made, oldest first, at most limit.
    std::optional<std::vector<HookCall>> due(const std::string& station, std::size_t limit,
                                             std::string& error);
    // One call's end: the exit status (0 takes it off), and what the program said on stderr.
    bool attempted(const HookCall& call, int status, const std::string& stderr_text,
                   std::string& error);

  private:
    std::unique_ptr<records::RecordsConnection> c_;
};

}  // namespace ovik::station
