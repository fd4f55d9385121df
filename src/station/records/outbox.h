// The outbox: the messages a station has for the plant's MQTT broker, kept in the run records
// until the broker took them, so that none is lost while the broker is down or restarts, nor
// when the station ends before it is back: the next station of the same name that publishes
// sends them first. A station reads only its own messages, in the order they were appended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/records/records_connection.h"

namespace ovik::station {

// One message: its topic and JSON body, numbered within its run.
struct OutboxMessage {
    int64_t id = 0;  // 0 until appended
    int64_t run = 0;
    int64_t number = 0;
    std::string topic;
    std::string body;
    bool retained = false;
};

class Outbox {
  public:
    // The outbox of station in the records that where names (see run_db_kind), on a connection
    // of its own; the records' schema brought up to date. nullptr, with why, when it cannot be.
    static std::unique_ptr<Outbox> open(const std::string& where, const std::string& station,
                                        std::string& error);
    explicit Outbox(std::unique_ptr<records::RecordsConnection> c, std::string station);

    // Appends the messages, all or none; they get their ids.
    bool append(std::vector<OutboxMessage>& messages, std::string& error);
    // Up to limit messages not sent yet after the one with id after, in order.
    std::optional<std::vector<OutboxMessage>> next(int64_t after, std::size_t limit,
                                                   std::string& error);
    // Marks the messages sent at (PC clock, seconds since the epoch).
    bool mark_sent(const std::vector<int64_t>& ids, int64_t at, std::string& error);
    // How many wait.
    std::optional<std::size_t> unsent(std::string& error);
    // The last number of each run's messages; runs without any are left out.
    std::optional<std::map<int64_t, int64_t>> last_numbers(const std::vector<int64_t>& runs,
                                                           std::string& error);

  private:
    bool transaction(const std::vector<std::pair<const char*, std::vector<records::Value>>>& sql,
                     std::vector<int64_t>* ids, std::string& error);

    std::unique_ptr<records::RecordsConnection> c_;
    std::string station_;
};

}  // namespace ovik::station
