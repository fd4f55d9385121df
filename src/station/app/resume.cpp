// ovikstation resume: its targets are the agents of the runs this station left unfinished, and
// it finishes their runs as planned.
#include "station/app/commands.h"
#include "station/app/take_back.h"

namespace ovik::station {

int resume_verb(const StationOptions& station, const Timing& timing, std::FILE* out,
                std::FILE* err) {
    return take_back("resume", false, station, timing, out, err);
}

}  // namespace ovik::station
