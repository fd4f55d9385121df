// The ovikstation command line: listen, run, resume, abort, history and serve.
#pragma once

#include <cstdio>

#include "station/session/agent_session.h"

namespace ovik::station {

// Exit statuses of ovikstation.
inline constexpr int EXIT_ALL_PASSED = 0;
inline constexpr int EXIT_NOT_ALL_PASSED = 1;
inline constexpr int EXIT_USAGE = 2;  // also: no agent found, socket or file not usable
// history: the database holds no run of the device; resume, abort: no unfinished run
inline constexpr int EXIT_NO_RUNS = 1;
// run, resume, abort: some run records could not be written to --db; they are kept in a file
// that the next ovikstation opening the records takes in
inline constexpr int EXIT_RECORDS_KEPT = 3;
// The station's UDP port is taken by another program (another ovikstation, most likely).
inline constexpr int EXIT_PORT_IN_USE = 4;

// Runs the command line: results go to out, errors to err. timing: how patient the run is.
int station_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
                 const Timing& timing = Timing{});

}  // namespace ovik::station
