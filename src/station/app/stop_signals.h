// SIGINT and SIGTERM while the station drives agents: caught for the life of the object, so
// the run loop can end without stopping any agent and record where each run stands.
#pragma once

#include <csignal>

namespace ovik::station {

class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that came, SIGINT or SIGTERM; 0 while none did.
    int caught() const;

  private:
    struct sigaction previous_int_ {};
    struct sigaction previous_term_ {};
};

}  // namespace ovik::station
