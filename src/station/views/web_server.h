// The station's dashboard over HTTP: the line's page (a tile per agent, the totals) and a
// page per device (its record and its earlier runs), both updated live from server-sent
// events, and the JSON they read:
//
//   GET /                   the line        GET /device/SERIAL       one device
//   GET /api/line           the snapshot    GET /api/events          a stream of snapshots
//   GET /api/device/SERIAL  the device's runs in the records
//   GET /plant              every station of the records: live runs, yield, failures
//   GET /api/plant/CHART    the plant page's charts (plant_page.h)
//
// The server runs on threads of its own and reads the line only through a LineFeed, so the
// run loop never waits for a browser. What a client can take is bounded: no request is read
// beyond 64 KiB (a declared body beyond 16 KiB is answered 413), at most 24 pages follow the
// line (the next gets 503 with the reason), and the records are read through one connection.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/records/run_db.h"
#include "station/views/line_snapshot.h"

namespace ovik::station {

// Where the dashboard listens: "ADDR:PORT", an IPv4 address and a TCP port (0: any free one).
struct WebAddress {
    std::string host;
    uint16_t port = 0;
};
std::optional<WebAddress> parse_web_address(const std::string& text);

// A device's runs as the device page reads them.
std::string runs_json(uint32_t serial, const std::vector<RunRecord>& runs);

class WebServer {
  public:
    // Listens on address and serves in the background until destroyed; the device pages read
    // the runs from the records that records names (RunRecords::open), through one connection.
    // nullptr with error set when the address cannot be bound.
    static std::unique_ptr<WebServer> start(const WebAddress& address, const LineFeed& feed,
                                            const std::string& records, std::string& error);
    // Stops listening and ends the event streams, each after it has sent the feed's newest
    // snapshot (close the feed first, so that is its last).
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The port it listens on (the one chosen when the address asked for any).
    uint16_t port() const;

    struct Impl;

  private:
    explicit WebServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace ovik::station
