// What every test reads and writes besides its own devices: the configuration, the run's
// shared state and the error log. main creates them; the check objects keep references.
#pragma once

#include "plan/config.h"
#include "plan/error_log.h"
#include "plan/testresult.h"

namespace ovik {

struct CheckContext {
    const Configuration& config;
    RunState& run;
    ErrorLog& log;
};

}  // namespace ovik
