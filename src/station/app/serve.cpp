// ovikstation serve: the dashboard's device pages for the run records alone, until stopped.
#include <pthread.h>

#include <csignal>

#include "station/app/cli.h"
#include "station/app/commands.h"
#include "station/app/station.h"

namespace ovik::station {

int serve_verb(const std::string& web_text, const std::string& where, const std::string& station,
               std::FILE* out, std::FILE* err) {
    const std::optional<WebAddress> address = web_option("serve", web_text, err);
    if (!address) return EXIT_USAGE;
    std::string error;
    const std::unique_ptr<RunRecords> records = RunRecords::open(where, false, error);
    if (!records) {
        std::fprintf(err, "ovikstation serve: cannot read --db %s: %s\n",
                     run_db_name(where).c_str(), error.c_str());
        return EXIT_USAGE;
    }
    name_kept_unwritten("serve", *records, where, err);
    // Blocked before the server's threads start, so they inherit the mask and the signal
    // comes to sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);

    LineFeed feed(line_json(LineInfo{station, "records", std::nullopt, 0}, {}));
    std::unique_ptr<WebServer> web = serve_dashboard("serve", *address, feed, where, err);
    int status = EXIT_USAGE;
    if (web) {
        std::fprintf(out, "serving the records of %s on http://%s:%u/\n",
                     run_db_name(where).c_str(), address->host.c_str(), web->port());
        std::fflush(out);
        int received = 0;
        sigwait(&stop_signals, &received);
        feed.close();
        web.reset();
        status = EXIT_ALL_PASSED;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

}  // namespace ovik::station
