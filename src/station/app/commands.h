// The commands of ovikstation, one file each: listen, run, resume, abort, history and serve.
// The command line (cli.cpp) parses their options and calls one; run, resume and abort drive
// agents through a Station (station.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "station/mqtt/mqtt_publisher.h"
#include "station/records/run_db.h"
#include "station/session/agent_session.h"
#include "wire/frames.h"

namespace ovik::station {

// Where the station listens, and which agent port counts as the usual one.
struct Link {
    std::string bind = "0.0.0.0";
    uint16_t port = wire::PC_PORT;
    uint16_t agent_port = wire::AGENT_PORT;
    std::string interface;  // empty: every interface
};

// What run, resume and abort share: the socket, the records, the dashboard, the station's name.
struct StationOptions {
    Link link;
    std::string db = "ovikstation.db";
    std::string web;         // "" for no dashboard
    std::string name;        // in the records
    std::string on_verdict;  // the verdict hook's program; "" for none
    double on_verdict_timeout = 30;
    MqttOptions mqtt;  // url "" for none
};

// What run drives: which agents, and the run it asks of them.
struct RunOptions {
    std::string agent;      // one agent's address
    bool discover = false;  // or every agent that announces itself within discover_seconds
    double discover_seconds = 0;
    std::size_t expect = 0;  // 0: every agent found
    uint32_t baud = 115200;
    std::string firmware = "na";
    double duration = 60;
    bool fail = false;
    bool stop_all_on_fail = false;
    ReportFiles files;
};

int listen_verb(double seconds, const Link& link, std::FILE* out, std::FILE* err);
int run_verb(const RunOptions& run, const StationOptions& station, const Timing& timing,
             std::FILE* out, std::FILE* err);
// resume: finishes the runs this station left unfinished, as planned; abort: stops them,
// declared failed.
int resume_verb(const StationOptions& station, const Timing& timing, std::FILE* out,
                std::FILE* err);
int abort_verb(const StationOptions& station, const Timing& timing, std::FILE* out, std::FILE* err);
int history_verb(uint32_t serial, const std::string& db, std::FILE* out, std::FILE* err);
// Serves the dashboard for the records alone until SIGINT or SIGTERM.
int serve_verb(const std::string& web, const std::string& db, const std::string& name,
               std::FILE* out, std::FILE* err);

// This PC's host name: how the run records name the station unless --station says otherwise.
std::string host_name();
Millis millis_of(double seconds);

// What to check when no agent is there.
inline constexpr const char* NO_AGENT_HINT =
    "check the cabling and that ovikburn runs on the device";

}  // namespace ovik::station
