#include "station/mqtt/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string_view>
#include <tuple>
#include <utility>

namespace ovik::station {
namespace {

// Messages handed to libmosquitto and not acknowledged yet, at most.
constexpr std::size_t WINDOW = 64;
// How soon a broker that went silent counts as gone: MQTT's keep-alive, in seconds.
constexpr int KEEPALIVE = 10;
// After a failed connection the publisher tries again this long later, doubling up to
// RETRY_MAX.
constexpr Millis RETRY_FIRST{500};
constexpr Millis RETRY_MAX{4000};
// How long one turn of the thread waits for the broker's packets.
constexpr int TURN_MS = 100;

std::string mosquitto_error(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

TimePoint now() {
    return std::chrono::steady_clock::now();
}

}  // namespace

std::string MqttBroker::name() const {
    return std::string(tls ? "mqtts://" : "mqtt://") + (user.empty() ? "" : user + "@") + host +
           ":" + std::to_string(port);
}

std::optional<MqttBroker> mqtt_broker(const MqttOptions& options, const char* password_env,
                                      std::string& error) {
    MqttBroker b;
    std::string rest;
    // The URL as messages show it: a password in it stays out of the logs too.
    std::string shown = options.url;
    if (const std::size_t start = shown.find("://"), at = shown.rfind('@');
        start != std::string::npos && at != std::string::npos) {
        const std::size_t colon = shown.find(':', start + 3);
        if (colon < at) shown.replace(colon + 1, at - colon - 1, "***");
    }
    const auto bad = [&error, &shown](const char* why) {
        error = "--mqtt " + shown + " " + why;
        return std::nullopt;
    };
    for (const auto& [scheme, tls, port] :
         {std::tuple{"mqtt://", false, 1883}, std::tuple{"mqtts://", true, 8883}}) {
        const std::string_view s(scheme);
        if (options.url.compare(0, s.size(), s) == 0) {
            b.tls = tls;
            b.port = port;
            rest = options.url.substr(s.size());
        }
    }
    if (rest.empty()) {
        return bad("is not mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]");
    }
    if (const std::size_t slash = rest.find('/'); slash != std::string::npos) {
        if (slash + 1 != rest.size()) {
            return bad(
                "has a path; the topics are ovikstation/<station>/..., give the broker alone");
        }
        rest.resize(slash);
    }
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
        b.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (b.user.find(':') != std::string::npos) {
            return bad(
                "holds a password, which the process list shows to everyone; give it in a file "
                "with --mqtt-password-file or in the environment as OVIKSTATION_MQTT_PASSWORD");
        }
    }
    if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        int port = 0;
        const char* end = rest.data() + rest.size();
        const auto [ptr, ec] = std::from_chars(rest.data() + colon + 1, end, port);
        if (ec != std::errc() || ptr != end || port < 1 || port > 65535) {
            return bad("has no port number 1 to 65535 after the host");
        }
        b.port = port;
        rest.resize(colon);
    }
    if (rest.empty()) {
        return bad("names no host");
    }
    b.host = rest;
    if (!options.password_file.empty()) {
        std::ifstream file(options.password_file);
        std::string line;
        if (!file || !std::getline(file, line)) {
            error = "cannot read --mqtt-password-file " + options.password_file + ": " +
                    std::strerror(errno);
            return std::nullopt;
        }
        b.password = line;
    } else if (password_env != nullptr) {
        b.password = password_env;
    }
    if (b.password && b.user.empty()) {
        return bad("names no user for the password: give mqtt://USER@HOST");
    }
    if (!b.tls && !(options.ca_file + options.cert_file + options.key_file).empty()) {
        return bad("is mqtt://, but --mqtt-ca-file, --mqtt-cert and --mqtt-key are for mqtts://");
    }
    b.ca_file = options.ca_file;
    b.cert_file = options.cert_file;
    b.key_file = options.key_file;
    return b;
}

std::unique_ptr<MqttPublisher> MqttPublisher::create(const MqttBroker& broker,
                                                     const std::string& client_id,
                                                     std::unique_ptr<Outbox> outbox,
                                                     std::string& error) {
    mosquitto_lib_init();
    ::mosquitto* mosq = mosquitto_new(client_id.c_str(), true, nullptr);
    if (mosq == nullptr) {
        error = std::strerror(errno);
        mosquitto_lib_cleanup();
        return nullptr;
    }
    // Owned from here on: the destructor destroys it.
    std::unique_ptr<MqttPublisher> p(new MqttPublisher(broker, std::move(outbox), mosq));
    mosquitto_user_data_set(mosq, p.get());
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq, WINDOW);
    int rc = MOSQ_ERR_SUCCESS;
    if (!broker.user.empty()) {
        rc = mosquitto_username_pw_set(mosq, broker.user.c_str(),
                                       broker.password ? broker.password->c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && broker.tls) {
        auto file = [](const std::string& f) { return f.empty() ? nullptr : f.c_str(); };
        rc = mosquitto_tls_set(mosq, file(broker.ca_file),
                               broker.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                               file(broker.cert_file), file(broker.key_file), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot use the TLS files (--mqtt-ca-file, --mqtt-cert, --mqtt-key): " +
                    mosquitto_error(rc);
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = mosquitto_error(rc);
        return nullptr;
    }
    mosquitto_connect_callback_set(mosq, [](::mosquitto*, void* self, int code) {
        auto& me = *static_cast<MqttPublisher*>(self);
        if (code != 0) {
            me.set_error(mosquitto_connack_string(code));
            me.unreachable_ = true;
            return;
        }
        me.backoff_ = Millis{0};
        me.connected_ = true;
        me.unreachable_ = false;
        me.set_error("");
    });
    mosquitto_disconnect_callback_set(mosq, [](::mosquitto*, void* self, int code) {
        auto& me = *static_cast<MqttPublisher*>(self);
        me.connected_ = false;
        if (code != 0) {
            me.set_error("the connection was lost");
            me.unreachable_ = true;
        }
    });
    mosquitto_publish_callback_set(mosq, [](::mosquitto*, void* self, int mid) {
        auto& me = *static_cast<MqttPublisher*>(self);
        if (const auto it = me.in_flight_.find(mid); it != me.in_flight_.end()) {
            me.acknowledged_.push_back(it->second);
            me.in_flight_.erase(it);
        }
    });
    return p;
}

MqttPublisher::MqttPublisher(MqttBroker broker, std::unique_ptr<Outbox> outbox, ::mosquitto* mosq)
    : broker_(std::move(broker)), outbox_(std::move(outbox)), mosq_(mosq) {}

MqttPublisher::~MqttPublisher() {
    if (thread_.joinable()) finish(Millis{0});
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

std::optional<std::map<int64_t, int64_t>> MqttPublisher::begin(const std::vector<int64_t>& runs,
                                                               std::string& error) {
    std::optional<std::map<int64_t, int64_t>> last = outbox_->last_numbers(runs, error);
    const std::optional<std::size_t> waiting = outbox_->unsent(error);
    if (!last || !waiting) return std::nullopt;
    in_outbox_ = *waiting;
    length_ = *waiting;
    thread_ = std::thread([this] { run(); });
    return last;
}

void MqttPublisher::put(std::vector<OutboxMessage> messages) {
    if (messages.empty()) return;
    {
        const std::lock_guard lock(mutex_);
        length_ += messages.size();
        incoming_.insert(incoming_.end(), std::make_move_iterator(messages.begin()),
                         std::make_move_iterator(messages.end()));
    }
    changed_.notify_all();
}

void MqttPublisher::show(OutboxMessage summary) {
    const std::lock_guard lock(mutex_);
    summary_ = std::move(summary);
}

std::optional<MqttNews> MqttPublisher::news() {
    if (!told_unreachable_ && unreachable_) {
        told_unreachable_ = true;
        return MqttNews{false, error(), outbox_length()};
    }
    if (told_unreachable_ && connected_) {
        told_unreachable_ = false;
        return MqttNews{true, "", outbox_length()};
    }
    return std::nullopt;
}

std::string MqttPublisher::error() const {
    const std::lock_guard lock(mutex_);
    return error_;
}

void MqttPublisher::set_error(std::string why) {
    const std::lock_guard lock(mutex_);
    error_ = std::move(why);
}

bool MqttPublisher::finish(Millis wait) {
    std::unique_lock lock(mutex_);
    // The summary too, while the broker is there to take it.
    changed_.wait_for(lock, wait, [this] { return length_ == 0 && (!summary_ || !connected_); });
    const bool sent = length_ == 0;
    stopping_ = true;
    lock.unlock();
    changed_.notify_all();
    thread_.join();
    return sent;
}

void MqttPublisher::connect_now() {
    const int rc = connect_called_ ? mosquitto_reconnect_async(mosq_)
                                   : mosquitto_connect_async(mosq_, broker_.host.c_str(),
                                                             broker_.port, KEEPALIVE);
    connect_called_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        set_error(mosquitto_error(rc));
        unreachable_ = true;
    }
    backoff_ = std::clamp(backoff_ * 2, RETRY_FIRST, RETRY_MAX);
    next_try_ = now() + backoff_;
}

void MqttPublisher::run() {
    connect_now();
    std::unique_lock lock(mutex_);
    while (!stopping_) turn(lock);
}

void MqttPublisher::turn(std::unique_lock<std::mutex>& lock) {
    std::vector<OutboxMessage> incoming;
    incoming.swap(incoming_);
    std::optional<OutboxMessage> summary;
    if (connected_) summary.swap(summary_);
    lock.unlock();

    std::string why;
    if (!incoming.empty() && outbox_->append(incoming, why)) {
        in_outbox_ += incoming.size();
        incoming.clear();
    }
    if (!acknowledged_.empty() &&
        outbox_->mark_sent(acknowledged_, static_cast<int64_t>(std::time(nullptr)), why)) {
        in_outbox_ -= std::min(in_outbox_, acknowledged_.size());
        acknowledged_.clear();
    }
    if (connected_ && in_flight_.size() < WINDOW / 2) {
        const std::optional<std::vector<OutboxMessage>> next =
            outbox_->next(handed_, WINDOW - in_flight_.size(), why);
        for (const OutboxMessage& m : next.value_or(std::vector<OutboxMessage>{})) {
            int mid = 0;
            if (mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.body.size()),
                                  m.body.data(), 1, m.retained) != MOSQ_ERR_SUCCESS) {
                break;
            }
            in_flight_[mid] = m.id;
            handed_ = m.id;
        }
    }
    if (summary) {
        mosquitto_publish(mosq_, nullptr, summary->topic.c_str(),
                          static_cast<int>(summary->body.size()), summary->body.data(), 0, true);
    }
    const int rc = mosquitto_loop(mosq_, TURN_MS, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (rc != MOSQ_ERR_NO_CONN) {
            set_error(mosquitto_error(rc));
            unreachable_ = true;
        }
        connected_ = false;
        if (now() >= next_try_) connect_now();
    }

    lock.lock();
    if (!why.empty()) error_ = "the outbox in the records: " + why;
    // What could not go into the outbox goes first next time.
    incoming.insert(incoming.end(), std::make_move_iterator(incoming_.begin()),
                    std::make_move_iterator(incoming_.end()));
    incoming_.swap(incoming);
    length_ = incoming_.size() + in_outbox_;
    changed_.notify_all();
    if (rc != MOSQ_ERR_SUCCESS) {
        changed_.wait_until(lock, std::min(next_try_, now() + Millis{TURN_MS}),
                            [this] { return stopping_; });
    }
}

}  // namespace ovik::station
