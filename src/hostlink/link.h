// hostlink: the UDP link to the test PC. The agent announces itself while idle, answers each
// command frame at once, and sends status reports while a run or a download is active; the
// run control (run_control.h) drives the run's status, and the end of the run shows the
// verdict. Each frame is made when it is sent (frames.h).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "base/unique_fd.h"
#include "hostlink/frames.h"
#include "hostlink/run_control.h"
#include "plan/config.h"
#include "plan/testresult.h"

namespace ovik {

// The ACK or NAK frame of the answer: the record with the answer's code, the clock's date and
// the burn time. A PC has been answered, so the announcements stop.
wire::ResponseBytes answer_frame(LinkState& link, const RunState& run, RunPlatform& platform,
                                 const Answer& answer, const WifiTexts& texts);

// Opens the host link socket on eth0, port 1033, bound to the local address given (network
// order; any by default); an invalid descriptor when it cannot be set up (the reason has been
// printed).
UniqueFd open_host_link_socket(uint32_t local_address = INADDR_ANY);

// The steps of one pass of the link loop. host_link_loop runs them in turn; a program that
// serves many links on one thread runs them for each link as its socket and timers say.
//
// Top of the pass: the announcement while idle and nobody has been answered, a status report
// while running or downloading when 100 ms have passed since the last.
void announce_or_report(const UniqueFd& sock, LinkState& link, RunState& run,
                        RunPlatform& platform);
// How long the pass waits for a datagram.
int link_wait_ms(const RunState& run);
// Receives one datagram from the readable socket; its sender becomes the peer, and a full
// frame goes to the command handler. What to answer.
Answer receive_command(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform);
// Sends the answer to the peer.
void send_answer(const UniqueFd& sock, LinkState& link, const RunState& run, RunPlatform& platform,
                 const Answer& answer);

// Serves the link until a verdict (or the end of a download) ends it.
void host_link_loop(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform);

// After the loop: close the socket, show the verdict, then sleep until power-off.
[[noreturn]] void end_of_run(UniqueFd sock, const LinkState& link, RunState& run,
                             const Configuration& config);

}  // namespace ovik
