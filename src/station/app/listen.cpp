// ovikstation listen: prints every agent that announces itself.
#include "station/app/cli.h"
#include "station/app/commands.h"
#include "station/app/station.h"

namespace ovik::station {

int listen_verb(double seconds, const Link& link, std::FILE* out, std::FILE* err) {
    int socket_status = EXIT_USAGE;
    const std::optional<UdpSocket> socket = open_socket(link, err, socket_status);
    if (!socket) return socket_status;
    std::fprintf(out, "listening on %s for %g s for agents to announce themselves\n",
                 socket->local().text().c_str(), seconds);
    const std::vector<Announcement> found =
        listen_for_agents(*socket, millis_of(seconds), [&](const Announcement& a) {
            std::fprintf(out, "serial %-10u address %-21s software 0x%04X  AP 0x%08X  status %s\n",
                         a.frame.serial, agent_label(a.from, link.agent_port).c_str(),
                         a.frame.softwareid, a.frame.apid, wire::status_name(a.frame.status));
            std::fflush(out);
        });
    if (found.empty()) {
        std::fprintf(err, "no agent announced itself within %g s: %s\n", seconds, NO_AGENT_HINT);
    } else {
        std::fprintf(out, "%zu agent%s found\n", found.size(), found.size() == 1 ? "" : "s");
    }
    return EXIT_ALL_PASSED;
}

}  // namespace ovik::station
