#include "station/app/station.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "station/app/cli.h"
#include "station/records/records_writer.h"
#include "station/views/report.h"
#include "station/views/report_file.h"

namespace ovik::station {
namespace {

// How often the dashboard's snapshot of the line is renewed during a run.
constexpr Millis DASHBOARD_INTERVAL{500};
// How often the line's summary goes to the MQTT broker.
constexpr Millis MQTT_SUMMARY_INTERVAL{10000};
// The socket's receive queue, asked for from the kernel: room for more than a second of every
// report of a thousand agents at their full rate (about 10,000 frames of some 2 KiB each in
// the kernel's accounting, which counts twice the size asked for), so that a pause of the
// loop (a commit of the records, a slow terminal) loses none.
constexpr std::size_t RECEIVE_BUFFER = std::size_t{16} << 20;

uint32_t wall_seconds() {
    return static_cast<uint32_t>(std::time(nullptr));
}

// text as one word of a shell command line.
std::string shell_word(const std::string& text) {
    if (!text.empty() &&
        text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_./:@%+=,-") == std::string::npos) {
        return text;
    }
    std::string quoted = "'";
    for (const char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

}  // namespace

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

Millis millis_of(double seconds) {
    return Millis(std::llround(seconds * 1000.0));
}

std::optional<UdpSocket> open_socket(const Link& link, std::FILE* err, int& status) {
    status = EXIT_USAGE;
    const std::optional<uint32_t> address = parse_ipv4(link.bind);
    if (!address) {
        std::fprintf(err, "ovikstation: --bind %s is not an IPv4 address (like 0.0.0.0)\n",
                     link.bind.c_str());
        return std::nullopt;
    }
    std::string error;
    int error_number = 0;
    std::optional<UdpSocket> socket =
        UdpSocket::open(Endpoint{*address, link.port}, link.interface, error, error_number);
    if (!socket && error_number == EADDRINUSE) {
        status = EXIT_PORT_IN_USE;
        std::fprintf(err,
                     "ovikstation: port %u is in use by another program (another "
                     "ovikstation?): find it with `ss -ulpn 'sport = :%u'`; stop it, or give "
                     "each station a network interface of its own with --interface\n",
                     link.port, link.port);
        return socket;
    }
    if (!socket) {
        std::fprintf(err, "ovikstation: %s\n", error.c_str());
        return socket;
    }
    const ReceiveBuffer buffer = socket->size_receive_buffer(RECEIVE_BUFFER);
    if (!buffer.shortfall.empty()) {
        std::fprintf(err,
                     "ovikstation: the socket's receive buffer is %zu KiB, not the %zu KiB asked "
                     "for (%s): with hundreds of agents reports may be lost; run ovikstation with "
                     "CAP_NET_ADMIN, or raise net.core.rmem_max to %zu\n",
                     buffer.bytes >> 10, (2 * RECEIVE_BUFFER) >> 10, buffer.shortfall.c_str(),
                     RECEIVE_BUFFER);
    }
    return socket;
}

std::optional<WebAddress> web_option(const char* command, const std::string& text, std::FILE* err) {
    std::optional<WebAddress> address = parse_web_address(text);
    if (!address) {
        std::fprintf(err,
                     "ovikstation %s: --web %s is not ADDR:PORT with an IPv4 address (like "
                     "127.0.0.1:8080; port 0: any free port)\n",
                     command, text.c_str());
    }
    return address;
}

std::unique_ptr<WebServer> serve_dashboard(const char* command, const WebAddress& address,
                                           const LineFeed& feed, const std::string& db,
                                           std::FILE* err) {
    std::string error;
    std::unique_ptr<WebServer> web = WebServer::start(address, feed, db, error);
    if (!web) {
        std::fprintf(err, "ovikstation %s: cannot serve the dashboard: %s\n", command,
                     error.c_str());
    }
    return web;
}

void name_kept_unwritten(const char* command, RunRecords& records, const std::string& db,
                         std::FILE* err) {
    const std::string name = run_db_name(db);
    for (const auto& [run, path] : kept_unwritten(records)) {
        std::fprintf(err,
                     "ovikstation %s: rows of run %lld are kept in %s, not yet in %s: the next "
                     "ovikstation run, resume or abort with --db %s takes them in\n",
                     command, static_cast<long long>(run), path.c_str(), name.c_str(),
                     name.c_str());
    }
}

bool each_report_file(const char* command, const ReportFiles& files, std::FILE* err,
                      const ReportFileStep& step) {
    bool all = true;
    for (const ReportFile& f : report_files(files)) {
        if (f.path.empty()) continue;
        if (const std::optional<std::string> why = step(f)) {
            std::fprintf(err, "ovikstation %s: cannot write %s %s: %s\n", command, f.option,
                         f.path.c_str(), why->c_str());
            all = false;
        }
    }
    return all;
}

std::unique_ptr<Station> Station::open(const char* command, const StationOptions& options,
                                       std::FILE* out, std::FILE* err) {
    std::optional<WebAddress> web;
    if (!options.web.empty()) {
        web = web_option(command, options.web, err);
        if (!web) return nullptr;
    }
    std::string error;
    std::unique_ptr<RunRecords> records = RunRecords::open(options.db, true, error);
    const std::string where = run_db_name(options.db);
    if (!records) {
        std::fprintf(err, "ovikstation %s: cannot use --db %s: %s\n", command, where.c_str(),
                     error.c_str());
        return nullptr;
    }
    for (const TakenIn& t : take_in_unwritten(*records)) {
        if (t.error.empty()) {
            std::fprintf(out, "took %zu unwritten run records from %s into --db %s\n", t.rows,
                         t.path.c_str(), where.c_str());
        } else {
            std::fprintf(err,
                         "ovikstation %s: cannot take %s into --db %s: %s; it stays for the next "
                         "ovikstation\n",
                         command, t.path.c_str(), where.c_str(), t.error.c_str());
        }
    }
    std::unique_ptr<VerdictHooks> hooks;
    if (!options.on_verdict.empty()) {
        hooks = VerdictHooks::start(command, options, err);
        if (!hooks) return nullptr;
    }
    std::unique_ptr<MqttPublisher> mqtt;
    if (!options.mqtt.url.empty()) {
        std::optional<MqttBroker> broker =
            mqtt_broker(options.mqtt, std::getenv("OVIKSTATION_MQTT_PASSWORD"), error);
        if (!broker) {
            std::fprintf(err, "ovikstation %s: %s\n", command, error.c_str());
            return nullptr;
        }
        std::unique_ptr<Outbox> outbox = Outbox::open(options.db, options.name, error);
        if (outbox) {
            mqtt = MqttPublisher::create(
                *broker, "ovikstation-" + options.name + "-" + std::to_string(::getpid()),
                std::move(outbox), error);
        }
        if (!mqtt) {
            std::fprintf(err, "ovikstation %s: cannot publish to the MQTT broker at %s: %s\n",
                         command, broker->name().c_str(), error.c_str());
            return nullptr;
        }
    }
    return std::unique_ptr<Station>(new Station(command, options, out, err, std::move(records),
                                                std::move(web), std::move(hooks), std::move(mqtt)));
}

bool Station::listen(int& status) {
    socket_ = open_socket(options_.link, err_, status);
    return socket_.has_value();
}

Station::Station(const char* command, const StationOptions& options, std::FILE* out, std::FILE* err,
                 std::unique_ptr<RunRecords> records, std::optional<WebAddress> web,
                 std::unique_ptr<VerdictHooks> hooks, std::unique_ptr<MqttPublisher> mqtt)
    : command_(command),
      options_(options),
      out_(out),
      err_(err),
      records_(std::move(records)),
      web_address_(std::move(web)),
      hooks_(std::move(hooks)),
      mqtt_(std::move(mqtt)) {
    if (mqtt_) outbox_length_ = [p = mqtt_.get()] { return p->outbox_length(); };
}

Station::~Station() {
    finish_hooks();
}

void Station::offer_hooks(const std::vector<const AgentSession*>& sessions,
                          const RunJournal& journal) {
    if (!hooks_) return;
    hooked_.resize(sessions.size(), false);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const AgentSession& s = *sessions[i];
        if (hooked_[i] || !s.done() || s.verdict() == Verdict::interrupted) continue;
        // A full queue takes it at a later look.
        hooked_[i] = hooks_->offer(hook_call(report_of(s), journal.run_of(i), options_.name));
    }
}

void Station::finish_hooks() {
    if (!hooks_) return;
    const Millis wait = hooks_->end_wait();
    const std::size_t left = hooks_->finish(wait);
    hooks_.reset();
    if (left == 0) return;
    std::fprintf(err_,
                 "ovikstation %s: %zu --on-verdict call%s not done within %lld s (failed, killed "
                 "or not started): kept in --db %s; the next `ovikstation run` or `ovikstation "
                 "resume` with --on-verdict and --station %s makes %s again\n",
                 command_, left, left == 1 ? "" : "s", static_cast<long long>(wait.count() / 1000),
                 run_db_name(options_.db).c_str(), shell_word(options_.name).c_str(),
                 left == 1 ? "it" : "them");
}

void Station::record_failed(const std::string& error) const {
    std::fprintf(err_, "ovikstation %s: cannot record the run in --db %s: %s\n", command_,
                 run_db_name(options_.db).c_str(), error.c_str());
}

std::optional<std::vector<AgentReport>> Station::drive(const LineInfo& line,
                                                       const std::string& heading,
                                                       RunJournal& journal, const Loop& loop) {
    feed_.emplace(line_json(line, {}));
    if (web_address_) {
        web_ = serve_dashboard(command_, *web_address_, *feed_, options_.db, err_);
        if (!web_) return std::nullopt;
        std::fprintf(out_, "dashboard on http://%s:%u/\n", web_address_->host.c_str(),
                     web_->port());
        publisher_.emplace(*feed_, line, DASHBOARD_INTERVAL);
    }
    if (mqtt_) {
        std::string error;
        runs_ = journal.runs();
        std::optional<std::map<int64_t, int64_t>> last = mqtt_->begin(runs_, error);
        if (!last) {
            std::fprintf(err_, "ovikstation %s: cannot read the MQTT outbox in --db %s: %s\n",
                         command_, run_db_name(options_.db).c_str(), error.c_str());
            return std::nullopt;
        }
        events_.emplace(options_.name, std::move(*last));
        std::fprintf(out_, "publishing to the MQTT broker at %s\n", mqtt_->broker().name().c_str());
    }
    std::fprintf(out_, "%s\n", heading.c_str());
    view_.emplace(LiveView::for_stream(out_));
    // Sees the loop's sessions for the dashboard and the records.
    const LineObserver observe = [this, &journal](const std::vector<const AgentSession*>& sessions,
                                                  TimePoint now, bool final) {
        if (publisher_) {
            const bool left = std::any_of(sessions.begin(), sessions.end(),
                                          [](const AgentSession* s) { return !s->done(); });
            if (final && stop_.caught() != 0 && left) publisher_->end_as("interrupted");
            publisher_->set_gauges(
                LineGauges{std::chrono::duration<double>(journal.lag(now)).count(),
                           outbox_length_ ? outbox_length_() : std::nullopt});
            publisher_->show(sessions, now, final);
        }
        offer_hooks(sessions, journal);
        if (mqtt_) publish(sessions, now, final, journal);
        if (final) return;  // the end is written with the reports
        if (const std::optional<std::string> news = journal.observe(sessions, now)) {
            view_->finish();  // a live table goes on below the line
            std::fprintf(err_, "ovikstation %s: the run records in --db %s %s\n", command_,
                         run_db_name(options_.db).c_str(), news->c_str());
            std::fflush(err_);
        }
    };
    std::vector<AgentReport> reports =
        loop(*view_, observe, [this] { return stop_.caught() != 0; });
    // Open pages get the last snapshot, the one with the verdicts.
    feed_->close();
    web_.reset();
    publisher_.reset();
    return reports;
}

void Station::publish(const std::vector<const AgentSession*>& sessions, TimePoint now, bool final,
                      const RunJournal& journal) {
    const auto wall = static_cast<int64_t>(std::time(nullptr));
    mqtt_->put(events_->observe(
        sessions, [&journal](std::size_t slot) { return journal.run_of(slot); }, wall));
    if (final || now >= next_summary_) {
        next_summary_ = now + MQTT_SUMMARY_INTERVAL;
        mqtt_->show(events_->summary(sessions, runs_, wall));
    }
    print_mqtt_news();
}

void Station::print_mqtt_news() {
    const std::optional<MqttNews> news = mqtt_->news();
    if (!news) return;
    if (view_) view_->finish();  // a live table goes on below the line
    const std::string broker = mqtt_->broker().name();
    const std::string where = run_db_name(options_.db);
    if (news->back) {
        std::fprintf(err_,
                     "ovikstation %s: the MQTT broker at %s answers again; %zu message%s in the "
                     "outbox of --db %s go%s out in order\n",
                     command_, broker.c_str(), news->waiting, news->waiting == 1 ? "" : "s",
                     where.c_str(), news->waiting == 1 ? "es" : "");
    } else {
        std::fprintf(err_,
                     "ovikstation %s: the MQTT broker at %s is unreachable (%s); %zu message%s "
                     "wait%s in the outbox of --db %s, and the devices go on\n",
                     command_, broker.c_str(), news->why.c_str(), news->waiting,
                     news->waiting == 1 ? "" : "s", news->waiting == 1 ? "s" : "", where.c_str());
    }
    std::fflush(err_);
}

void Station::finish_mqtt() {
    if (!mqtt_ || !events_) return;
    const bool sent = mqtt_->finish(MQTT_WAIT);
    print_mqtt_news();
    if (sent) return;
    const std::size_t left = mqtt_->outbox_length();
    std::string why = mqtt_->error();
    if (why.empty()) why = "no acknowledgement";
    std::fprintf(err_,
                 "ovikstation %s: %zu MQTT message%s not taken by the broker at %s within %lld s "
                 "(%s): they stay in the outbox of --db %s, and the next ovikstation run or "
                 "resume with --mqtt sends them first\n",
                 command_, left, left == 1 ? "" : "s", mqtt_->broker().name().c_str(),
                 static_cast<long long>(MQTT_WAIT.count() / 1000), why.c_str(),
                 run_db_name(options_.db).c_str());
}

void Station::print_interrupted(std::size_t left) const {
    std::string options = " --db " + shell_word(run_db_name(options_.db));
    if (options_.name != host_name()) options += " --station " + shell_word(options_.name);
    std::fprintf(err_,
                 "ovikstation: interrupted; %zu run%s left running on the devices: `ovikstation "
                 "resume%s` takes %s back, `ovikstation abort%s` stops %s failed\n",
                 left, left == 1 ? "" : "s", options.c_str(), left == 1 ? "it" : "them",
                 options.c_str(), left == 1 ? "it" : "them");
}

bool Station::finish_records(RunJournal& journal, TimePoint deadline,
                             const std::vector<Ending>& runs) const {
    journal.wait(std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()));
    const std::string why = journal.error();
    const std::vector<Unwritten> left = journal.finish();
    const std::string where = run_db_name(options_.db);
    for (const Unwritten& u : left) {
        const auto ending =
            std::find_if(runs.begin(), runs.end(), [&u](const Ending& e) { return e.id == u.run; });
        if (ending == runs.end()) continue;
        const std::string path = unwritten_path(u.run, *ending->run, records_->folder());
        const std::size_t rows = u.devices.size() + (u.end ? 1 : 0);
        std::string error;
        if (keep_unwritten(u, path, error)) {
            std::fprintf(err_,
                         "ovikstation %s: %zu run record%s of run %lld not written to --db %s "
                         "within %lld s (%s): kept in %s, which the next ovikstation that opens "
                         "--db %s takes in\n",
                         command_, rows, rows == 1 ? "" : "s", static_cast<long long>(u.run),
                         where.c_str(), static_cast<long long>(RECORDS_WAIT.count() / 1000),
                         why.c_str(), path.c_str(), where.c_str());
        } else {
            std::fprintf(err_,
                         "ovikstation %s: %zu run record%s of run %lld not written to --db %s "
                         "(%s), and they cannot be kept in %s: %s\n",
                         command_, rows, rows == 1 ? "" : "s", static_cast<long long>(u.run),
                         where.c_str(), why.c_str(), path.c_str(), error.c_str());
        }
    }
    return left.empty();
}

int Station::end(RunJournal& journal, const std::vector<Ending>& runs, TimePoint records_deadline,
                 const std::string& none) {
    std::vector<AgentReport> all;
    for (const Ending& run : runs) all.insert(all.end(), run.reports.begin(), run.reports.end());
    const auto left =
        static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [](const AgentReport& r) {
            return r.verdict == Verdict::interrupted;
        }));
    if (left > 0) {
        for (const Ending& run : runs) journal.end_run(run.id, StationRunState::interrupted, 0);
        const bool recorded = finish_records(journal, records_deadline, runs);
        finish_hooks();
        finish_mqtt();
        print_interrupted(left);
        return recorded ? 128 + stop_.caught() : EXIT_RECORDS_KEPT;
    }
    if (all.empty() && !none.empty()) {
        std::fprintf(err_, "%s\n", none.c_str());
    } else {
        std::fprintf(out_, "\n%s%s", verdict_table(all).c_str(), reports_summary(all).c_str());
    }
    bool written = true;
    for (const Ending& run : runs) {
        written = each_report_file(command_, run.run->files, err_,
                                   [&run](const ReportFile& f) {
                                       return write_file_whole(f.path, f.render(run.reports));
                                   }) &&
                  written;
        journal.end_run(run.id, StationRunState::finished, wall_seconds());
    }
    const bool recorded = finish_records(journal, records_deadline, runs);
    finish_hooks();
    // A broker that is gone costs no verdict: what it did not take stays in the outbox.
    finish_mqtt();
    if (!recorded) return EXIT_RECORDS_KEPT;
    const int status = exit_status(all);
    if (stop_.caught() != 0) return 128 + stop_.caught();
    return status == EXIT_ALL_PASSED && !written ? EXIT_NOT_ALL_PASSED : status;
}

}  // namespace ovik::station
