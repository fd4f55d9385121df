#include "station/views/web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "base/unique_fd.h"
#include "station/records/json.h"
#include "station/session/endpoint.h"
#include "station/views/metrics.h"
#include "station/views/plant_page.h"
#include "station/views/web_assets.h"

namespace ovik::station {
namespace {

// Each open page holds a worker thread with its event stream; the rest serve requests.
constexpr std::size_t WORKERS = 32;
constexpr int MAX_STREAMS = 24;
// The pages send no request bodies: a longer one than this is answered 413 unread. Nor is any
// request, its line, headers and body, read beyond REQUEST_LIMIT: its connection ends there, so
// that no client can fill the station's memory.
constexpr std::size_t BODY_LIMIT = 16 << 10;
constexpr std::size_t REQUEST_LIMIT = 64 << 10;
constexpr int READ_TIMEOUT_MS = 5000;
constexpr int WRITE_TIMEOUT_MS = 5000;
// How often a connection waiting for its next request looks whether the server is stopping.
constexpr int STOP_CHECK_MS = 100;
// How long a stream waits for a snapshot before it checks whether the server is stopping.
constexpr Millis STREAM_WAIT{500};
// A comment line on a quiet stream, so a browser that went away is noticed.
constexpr std::chrono::seconds KEEPALIVE{15};
constexpr time_t KEEP_ALIVE_TIMEOUT_S = 2;  // also bounds how long stopping takes
// How long stopping waits for the event streams to send their last snapshot.
constexpr Millis STREAMS_END_LIMIT{5000};
// How old the metrics of ovikstation serve may be, and how many devices of runs that go on
// they count at most.
constexpr Millis METRICS_AGE{5000};
constexpr std::size_t METRICS_DEVICES = 100000;
// stop() before the listening thread runs would be lost, so start() waits for it.
constexpr Millis LISTEN_START_LIMIT{5000};

std::optional<uint32_t> serial_of(const std::string& text) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || stop != end) return std::nullopt;
    return value;
}

Json number_or_null(const std::optional<uint32_t>& value) {
    return value ? Json(*value) : Json(nullptr);
}

void send_asset(httplib::Response& res, std::string_view name) {
    const WebAsset* asset = find_web_asset(name);
    if (asset == nullptr) {
        res.status = 404;
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(asset->body.data(), asset->body.size(), std::string(asset->type));
}

void send_json(httplib::Response& res, const std::string& json, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

// Whether fd gets ready for events within timeout_ms.
bool ready(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int n = 0;
    do {
        n = ::poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & events) != 0;
}

// A connection as the server reads and writes it: each request is read through a small buffer
// and up to REQUEST_LIMIT bytes, and a peer that hung up is no longer writable.
class RequestStream final : public httplib::Stream {
  public:
    explicit RequestStream(int fd) : fd_(fd) {}

    bool is_readable() const override { return buffered() || ready(fd_, POLLIN, READ_TIMEOUT_MS); }
    bool is_writable() const override {
        pollfd p{fd_, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            return false;
        }
        return ready(fd_, POLLOUT, WRITE_TIMEOUT_MS);
    }
    ssize_t read(char* ptr, std::size_t size) override {
        if (taken_ >= REQUEST_LIMIT) {
            spent_ = true;
            return -1;
        }
        if (!buffered()) {
            if (!ready(fd_, POLLIN, READ_TIMEOUT_MS)) return -1;
            ssize_t n = 0;
            do {
                n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) return n;
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min({size, end_ - begin_, REQUEST_LIMIT - taken_});
        std::memcpy(ptr, buffer_.data() + begin_, n);
        begin_ += n;
        taken_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, std::size_t size) override {
        if (!ready(fd_, POLLOUT, WRITE_TIMEOUT_MS)) return -1;
        ssize_t n = 0;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

    // The next request may be read up to the limit again.
    void next_request() { taken_ = 0; }
    bool buffered() const { return begin_ < end_; }
    // A request ran into the limit: what follows it on the connection is not a request.
    bool spent() const { return spent_; }

  private:
    void address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        char text[INET_ADDRSTRLEN] = {};
        if (name(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
            ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text) == nullptr) {
            return;
        }
        ip = text;
        port = ntohs(a.sin_port);
    }

    int fd_;
    std::array<char, 4096> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t taken_ = 0;  // of the current request
    bool spent_ = false;
};

// The library's server with each connection read through a RequestStream.
class BoundedServer final : public httplib::Server {
  private:
    bool process_and_close_socket(socket_t sock) override {
        const UniqueFd owner(sock);
        RequestStream stream(sock);
        bool ok = true;
        for (std::size_t left = keep_alive_max_count_; ok && left > 0 && next_request(stream);
             --left) {
            stream.next_request();
            bool closed = false;
            ok = process_request(stream, left == 1, closed, [](httplib::Request&) {}) && !closed &&
                 !stream.spent();
        }
        ::shutdown(sock, SHUT_RDWR);
        return ok;
    }

    // Waits for the next request on a kept connection while the server runs.
    bool next_request(const RequestStream& stream) const {
        for (auto waited = 0L; svr_sock_ != INVALID_SOCKET; waited += STOP_CHECK_MS) {
            if (stream.buffered() || ready(stream.socket(), POLLIN, STOP_CHECK_MS)) return true;
            if (waited >= keep_alive_timeout_sec_ * 1000) return false;
        }
        return false;
    }
};

// The records as the device and plant pages read them: one read-only connection, opened at the
// first request and again after a request failed, used by the server's threads one at a time.
class RecordsReader {
  public:
    explicit RecordsReader(std::string where) : where_(std::move(where)) {}

    // read(records, error), an optional answer, on the connection.
    template <class Read>
    auto read(Read read, std::string& error) -> decltype(read(std::declval<RunRecords&>(), error)) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) db_ = RunRecords::open(where_, false, error);
        if (!db_) return std::nullopt;
        auto answer = read(*db_, error);
        if (!answer) db_.reset();  // damaged or gone: the next request opens what is there then
        return answer;
    }

    // The records' metrics, counted again at most every METRICS_AGE, so that scrapes cost
    // the database one count of its rows a few seconds however often they come.
    std::optional<std::string> metrics(std::string& error) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const TimePoint now = std::chrono::steady_clock::now();
        if (!metrics_.empty() && now < metrics_until_) return metrics_;
        if (!db_) db_ = RunRecords::open(where_, false, error);
        if (!db_) return std::nullopt;
        std::optional<std::vector<DeviceCount>> counts = db_->device_counts(error);
        std::optional<std::vector<OpenDevice>> open;
        if (counts) open = db_->open_devices(METRICS_DEVICES, error);
        if (!open) {
            db_.reset();
            return std::nullopt;
        }
        metrics_ = metrics_text(records_metrics(*counts, *open));
        metrics_until_ = now + METRICS_AGE;
        return metrics_;
    }

  private:
    const std::string where_;
    std::mutex mutex_;
    std::unique_ptr<RunRecords> db_;  // guarded by mutex_
    std::string metrics_;             // guarded by mutex_
    TimePoint metrics_until_{};       // guarded by mutex_
};

void send_records_error(httplib::Response& res, Json answer, const std::string& error) {
    answer["error"] = utf8_of_latin1("cannot read the records: " + error);
    send_json(res, json_line(answer), 503);
}

}  // namespace

struct WebServer::Impl {
    Impl(const LineFeed& line, std::string records) : feed(line), history(std::move(records)) {}

    void route();
    void stream_events(httplib::Response& res);

    const LineFeed& feed;
    RecordsReader history;
    BoundedServer server;
    std::thread listener;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> streams{0};
};

void WebServer::Impl::route() {
    server.new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    // Without the library's SO_REUSEPORT: a second station on the same port must fail to
    // start, not take every other request of the first.
    server.set_socket_options([](socket_t sock) {
        const int on = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    // An answer's header and body go out at once, not the body after the client's delayed ack.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(KEEP_ALIVE_TIMEOUT_S);
    server.set_payload_max_length(BODY_LIMIT);
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        send_asset(res, "index.html");
    });
    server.Get(R"(/device/(\d+))", [](const httplib::Request&, httplib::Response& res) {
        send_asset(res, "device.html");
    });
    server.Get("/plant", [](const httplib::Request&, httplib::Response& res) {
        send_asset(res, "plant.html");
    });
    for (const WebAsset& asset : web_assets()) {
        if (asset.name.ends_with(".html")) continue;
        const std::string name(asset.name);
        server.Get("/" + name, [name](const httplib::Request&, httplib::Response& res) {
            send_asset(res, name);
        });
    }
    server.Get("/api/line", [this](const httplib::Request&, httplib::Response& res) {
        send_json(res, feed.latest().json);
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::optional<std::string> text = feed.metrics();
        std::string error;
        if (!text) text = history.metrics(error);
        if (!text) {
            res.status = 503;
            res.set_content("cannot read the records: " + error + "\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(*text, "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/api/events",
               [this](const httplib::Request&, httplib::Response& res) { stream_events(res); });
    server.Get(R"(/api/device/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::optional<uint32_t> serial = serial_of(req.matches[1]);
        if (!serial) {
            send_json(res, json_line({{"error", "not a serial number"}}), 404);
            return;
        }
        std::string error;
        const std::optional<std::vector<RunRecord>> runs = history.read(
            [serial](RunRecords& db, std::string& e) { return db.history(*serial, e); }, error);
        if (!runs) {
            send_records_error(res, {{"serial", *serial}}, error);
            return;
        }
        send_json(res, runs_json(*serial, *runs));
    });
    server.Get(R"(/api/plant/(\w+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string chart = req.matches[1];
        const std::string period_name =
            req.has_param("period") ? req.get_param_value("period") : "day";
        const std::optional<PlantPeriod> period =
            plant_period(period_name, static_cast<uint32_t>(std::time(nullptr)));
        if (!plant_chart_known(chart) || !period) {
            send_json(res, json_line({{"error", "no such chart or period (day, week, month)"}}),
                      404);
            return;
        }
        std::string error;
        const std::optional<std::string> json = history.read(
            [&](RunRecords& db, std::string& e) { return plant_json(db, chart, *period, e); },
            error);
        if (!json) {
            send_records_error(res, Json::object(), error);
            return;
        }
        send_json(res, *json);
    });
}

void WebServer::Impl::stream_events(httplib::Response& res) {
    if (streams.fetch_add(1) >= MAX_STREAMS) {
        streams.fetch_sub(1);
        res.status = 503;
        res.set_content("too many open dashboard pages (" + std::to_string(MAX_STREAMS) +
                            "): close one, then reload this one\n",
                        "text/plain");
        return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    uint64_t sent = 0;
    std::string last;  // what the page has: a snapshot that repeats it is not sent
    auto quiet_since = std::chrono::steady_clock::now();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent, last, quiet_since](std::size_t, httplib::DataSink& sink) mutable {
            LineFeed::Snapshot s = feed.next(sent, STREAM_WAIT);
            const auto now = std::chrono::steady_clock::now();
            if (s.version > sent && s.json == last) {
                sent = s.version;
            } else if (s.version > sent) {
                const std::string event = "event: line\ndata: " + s.json + "\n\n";
                if (!sink.write(event.data(), event.size())) return false;
                sent = s.version;
                last = std::move(s.json);
                quiet_since = now;
            } else if (s.closed || stopping.load()) {
                sink.done();
            } else if (!sink.is_writable()) {
                return false;  // the page went away: its place is free for another
            } else if (now - quiet_since >= KEEPALIVE) {
                constexpr std::string_view ping = ": still here\n\n";
                if (!sink.write(ping.data(), ping.size())) return false;
                quiet_since = now;
            }
            return true;
        },
        [this](bool) { streams.fetch_sub(1); });
}

std::optional<WebAddress> parse_web_address(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    WebAddress address{text.substr(0, colon), 0};
    const std::string port = text.substr(colon + 1);
    const char* end = port.data() + port.size();
    const auto [stop, ec] = std::from_chars(port.data(), end, address.port);
    if (port.empty() || ec != std::errc() || stop != end) return std::nullopt;
    if (!parse_ipv4(address.host)) return std::nullopt;
    return address;
}

std::string runs_json(uint32_t serial, const std::vector<RunRecord>& runs) {
    Json list = Json::array();
    for (const RunRecord& r : runs) {
        Json j;
        // A run not finished yet has no end.
        j["ended_at"] = r.ended_at != 0 ? Json(r.ended_at) : Json(nullptr);
        j["ended"] = r.ended_at != 0 ? Json(local_time_text(r.ended_at)) : Json(nullptr);
        j["started_at"] = number_or_null(r.started_at);
        j["started"] = r.started_at ? Json(local_time_text(*r.started_at)) : Json(nullptr);
        j["station"] = utf8_of_latin1(r.station);
        j["address"] = utf8_of_latin1(r.address);
        j["verdict"] = utf8_of_latin1(r.verdict);
        j["download"] = utf8_of_latin1(r.download);
        j["passed"] = r.passed;
        j["reason"] = utf8_of_latin1(r.reason);
        j["cycles"] = number_or_null(r.cycles);
        j["burn"] = r.burntime ? Json(burn_time_text(*r.burntime)) : Json(nullptr);
        j["failed_items"] = utf8_of_latin1(r.failed_items);
        j["failed_ports"] = utf8_of_latin1(r.failed_ports);
        j["baud"] = r.plan.baud;
        j["firmware"] = utf8_of_latin1(r.plan.firmware);
        j["duration_ms"] = r.plan.duration.count();
        j["declare_fail"] = r.plan.declare_fail;
        j["stop_all_on_fail"] = r.plan.stop_all_on_fail;
        // As text: the page parses it, so one damaged row of a shared database spoils only
        // its own record.
        j["record"] = r.record.empty() ? Json(nullptr) : Json(utf8_of_latin1(r.record));
        list.push_back(std::move(j));
    }
    return json_line({{"serial", serial}, {"runs", std::move(list)}});
}

std::unique_ptr<WebServer> WebServer::start(const WebAddress& address, const LineFeed& feed,
                                            const std::string& records, std::string& error) {
    auto impl = std::make_unique<Impl>(feed, records);
    impl->route();
    int port = address.port;
    if (address.port == 0) {
        port = impl->server.bind_to_any_port(address.host);
    } else if (!impl->server.bind_to_port(address.host, address.port)) {
        port = -1;
    }
    if (port <= 0) {
        error = "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " +
                std::strerror(errno);
        return nullptr;
    }
    impl->port = static_cast<uint16_t>(port);
    httplib::Server& server = impl->server;
    impl->listener = std::thread([&server] { server.listen_after_bind(); });
    // From here on the destructor joins the thread.
    std::unique_ptr<WebServer> web(new WebServer(std::move(impl)));
    const auto limit = std::chrono::steady_clock::now() + LISTEN_START_LIMIT;
    while (!server.is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(Millis(1));
    }
    if (!server.is_running()) {
        error = "the web server did not start";
        return nullptr;
    }
    return web;
}

WebServer::WebServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebServer::~WebServer() {
    impl_->stopping.store(true);
    // The streams end by themselves once they have sent the newest snapshot, which may first
    // have to be written; stopping the server would cut them off before the last of it.
    const auto limit = std::chrono::steady_clock::now() + STREAMS_END_LIMIT;
    while (impl_->streams.load() > 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(Millis(10));
    }
    impl_->server.stop();
    if (impl_->listener.joinable()) impl_->listener.join();
}

uint16_t WebServer::port() const {
    return impl_->port;
}

}  // namespace ovik::station
