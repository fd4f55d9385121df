// Where resume and abort find their targets: the runs of this station that no station
// finished, claimed from the records.
#pragma once

#include <cstdio>

#include "station/app/commands.h"

namespace ovik::station {

// Takes the runs back and drives their agents to the end: as planned, or stopped declared
// failed (abort). command: "resume" or "abort", for the messages.
int take_back(const char* command, bool abort, const StationOptions& options, const Timing& timing,
              std::FILE* out, std::FILE* err);

}  // namespace ovik::station
