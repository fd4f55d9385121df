// The station application: the one object that a command driving agents makes. It owns the
// run records, the stop signals, the socket, the dashboard's feed and web server and the live
// view, opened in that order and closed in reverse. run, resume and abort differ only in
// where their targets come from (a new run, or the runs the records hold unfinished): each opens
// a Station, records its targets, lets the Station drive them and end their runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/app/commands.h"
#include "station/app/stop_signals.h"
#include "station/app/verdict_hook.h"
#include "station/mqtt/device_events.h"
#include "station/mqtt/mqtt_publisher.h"
#include "station/records/run_db.h"
#include "station/records/run_journal.h"
#include "station/session/loop.h"
#include "station/session/udp_socket.h"
#include "station/views/line_snapshot.h"
#include "station/views/live_view.h"
#include "station/views/report_file.h"
#include "station/views/web_server.h"

namespace ovik::station {

class Station {
  public:
    // Opens the records (created when missing), takes in what stations before could not write
    // to them, and catches the stop signals: from then on a stop signal leaves the agents' runs
    // going, for resume. nullptr after saying why.
    static std::unique_ptr<Station> open(const char* command, const StationOptions& options,
                                         std::FILE* out, std::FILE* err);
    // Opens the socket; false after saying why it cannot be, with the exit status for it.
    bool listen(int& status);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    RunRecords& records() { return *records_; }
    // What the metrics give as the outbox's length; read on the loop's thread a few times a
    // second, so it must not wait for anything.
    void set_outbox_length(std::function<std::optional<uint64_t>()> length) {
        outbox_length_ = std::move(length);
    }
    const UdpSocket& socket() const { return *socket_; }
    // The MQTT publisher (its outbox's length for the metrics); nullptr without --mqtt.
    const MqttPublisher* mqtt() const { return mqtt_.get(); }
    // Says that the records could not be written.
    void record_failed(const std::string& error) const;

    // Drives the targets (run_agents or adopt_agents over the socket).
    using Loop = std::function<std::vector<AgentReport>(LineView& view, const LineObserver& observe,
                                                        const Interrupted& interrupted)>;
    // Serves the line's dashboard (with --web), prints heading, and drives the targets with loop
    // while journal records them: the loop's reports; nullopt after saying why the dashboard
    // cannot be served.
    std::optional<std::vector<AgentReport>> drive(const LineInfo& line, const std::string& heading,
                                                  RunJournal& journal, const Loop& loop);

    // How long a station waits at its end for the run records to be written, and for the MQTT
    // broker to take the messages.
    static constexpr Millis RECORDS_WAIT{10000};
    static constexpr Millis MQTT_WAIT{10000};
    // One station run as it ends: its agents' rows are handed to the journal.
    struct Ending {
        int64_t id = 0;
        const StationRun* run = nullptr;
        std::vector<AgentReport> reports;
    };
    // Ends the runs in the records, waiting for them until records_deadline. Stopped by a
    // signal: says how to go on. Otherwise prints the verdicts (or none, when given and there
    // was no agent) and writes the report files. The exit status.
    int end(RunJournal& journal, const std::vector<Ending>& runs, TimePoint records_deadline,
            const std::string& none = "");

  private:
    Station(const char* command, const StationOptions& options, std::FILE* out, std::FILE* err,
            std::unique_ptr<RunRecords> records, std::optional<WebAddress> web,
            std::unique_ptr<VerdictHooks> hooks, std::unique_ptr<MqttPublisher> mqtt);
    // Hands the loop's events and, every few seconds, the line's summary to the MQTT publisher.
    void publish(const std::vector<const AgentSession*>& sessions, TimePoint now, bool final,
                 const RunJournal& journal);
    void print_mqtt_news();
    // Waits for the broker to take the messages; says what stays in the outbox.
    void finish_mqtt();
    void print_interrupted(std::size_t left) const;
    // Waits until deadline for the records; what is not written by then is kept in a file per
    // run for the next station. False when some are.
    bool finish_records(RunJournal& journal, TimePoint deadline,
                        const std::vector<Ending>& runs) const;
    // Hands the verdict hook the devices whose verdicts became final.
    void offer_hooks(const std::vector<const AgentSession*>& sessions, const RunJournal& journal);
    // Waits a bounded time for the verdict hooks and says what is left.
    void finish_hooks();

    const char* command_;
    StationOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    std::unique_ptr<RunRecords> records_;
    std::optional<WebAddress> web_address_;
    StopSignals stop_;
    std::optional<UdpSocket> socket_;
    // While driving: the web server and the publisher read the feed.
    std::optional<LineFeed> feed_;
    std::unique_ptr<WebServer> web_;
    std::optional<LinePublisher> publisher_;
    std::optional<LiveView> view_;
    std::unique_ptr<VerdictHooks> hooks_;  // with --on-verdict
    std::vector<bool> hooked_;             // by session: handed to the hook
    std::function<std::optional<uint64_t>()> outbox_length_;
    // With --mqtt: the publisher and what it hears of the loop.
    std::unique_ptr<MqttPublisher> mqtt_;
    std::optional<DeviceEvents> events_;
    std::vector<int64_t> runs_;
    TimePoint next_summary_{};
};

// The station's UDP socket, its receive buffer sized for a line of a thousand agents; nullopt
// after saying why it cannot be opened, with the exit status for it.
std::optional<UdpSocket> open_socket(const Link& link, std::FILE* err, int& status);
// --web ADDR:PORT; nullopt after saying what is wrong with it.
std::optional<WebAddress> web_option(const char* command, const std::string& text, std::FILE* err);
// The dashboard of feed on address, its device pages reading the records db; nullptr after
// saying why it cannot be served.
std::unique_ptr<WebServer> serve_dashboard(const char* command, const WebAddress& address,
                                           const LineFeed& feed, const std::string& db,
                                           std::FILE* err);

// Names on err the files kept of runs that no station drives, which the records do not show
// until a station takes them in (history and serve only read the records).
void name_kept_unwritten(const char* command, RunRecords& records, const std::string& db,
                         std::FILE* err);

// Does step for each report file asked for (check_replaceable, write_file_whole); false, after
// saying why, when it failed for any.
using ReportFileStep = std::function<std::optional<std::string>(const ReportFile&)>;
bool each_report_file(const char* command, const ReportFiles& files, std::FILE* err,
                      const ReportFileStep& step);

}  // namespace ovik::station
