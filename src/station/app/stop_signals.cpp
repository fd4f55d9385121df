#include "station/app/stop_signals.h"

#include <atomic>

namespace ovik::station {
namespace {

// The handler can reach nothing but a namespace-scope word.
std::atomic<int> caught_signal{0};

void on_stop_signal(int signal) {
    caught_signal.store(signal);
}

}  // namespace

StopSignals::StopSignals() {
    caught_signal.store(0);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
}

int StopSignals::caught() const {
    return caught_signal.load();
}

}  // namespace ovik::station
