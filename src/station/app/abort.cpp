// ovikstation abort: its targets are the agents of the runs this station left unfinished, and
// it stops them, declared failed.
#include "station/app/commands.h"
#include "station/app/take_back.h"

namespace ovik::station {

int abort_verb(const StationOptions& station, const Timing& timing, std::FILE* out,
               std::FILE* err) {
    return take_back("abort", true, station, timing, out, err);
}

}  // namespace ovik::station
