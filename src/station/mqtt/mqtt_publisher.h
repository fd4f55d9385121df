// The station's MQTT publisher: a thread of its own (libmosquitto, Debian libmosquitto-dev)
// that takes the loop's messages into the outbox of the run records (outbox.h), sends what
// waits there in order, QoS 1, and marks each message sent when the broker acknowledged it.
// The loop only hands messages over: it never waits for the broker, nor for the records. The
// messages are bounded by the devices (each event once per device). When the broker is
// unreachable the publisher tries again, longer each time up to a few seconds, and the messages
// wait in the outbox; the loop is told once when it is gone and once when it is back. The
// line's summary is a snapshot: the newest replaces one not sent yet, and it is not kept.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/records/outbox.h"
#include "station/session/agent_session.h"

struct mosquitto;

namespace ovik::station {

// --mqtt and the options that go with it.
struct MqttOptions {
    std::string url;  // mqtt://[USER@]HOST[:PORT] or mqtts://...; "" for none
    std::string password_file;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
};

// A broker and how to log in to it.
struct MqttBroker {
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string user;
    std::optional<std::string> password;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;

    std::string name() const;  // "mqtt://host:1883" as messages show it
};

// The broker that options name, the password from the file or else from password_env (the
// environment's OVIKSTATION_MQTT_PASSWORD; nullptr when unset); nullopt, with what is wrong,
// when it cannot be used (a password in the URL among them).
std::optional<MqttBroker> mqtt_broker(const MqttOptions& options, const char* password_env,
                                      std::string& error);

// That the broker is gone (with why) or back, and how many messages wait.
struct MqttNews {
    bool back = false;
    std::string why;
    std::size_t waiting = 0;
};

class MqttPublisher {
  public:
    // Connects to broker as client_id once begin() is called, sending station's outbox.
    // nullptr, with why, when libmosquitto refuses the settings (a missing CA file, say).
    static std::unique_ptr<MqttPublisher> create(const MqttBroker& broker,
                                                 const std::string& client_id,
                                                 std::unique_ptr<Outbox> outbox,
                                                 std::string& error);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts the thread; before, the last numbers of the runs' messages (see DeviceEvents),
    // nullopt with why when the outbox cannot be read.
    std::optional<std::map<int64_t, int64_t>> begin(const std::vector<int64_t>& runs,
                                                    std::string& error);
    // From the loop: messages for the outbox, and the newest summary.
    void put(std::vector<OutboxMessage> messages);
    void show(OutboxMessage summary);
    // From the loop: once when the broker cannot be reached, with how many messages wait, and
    // once when it is back.
    std::optional<MqttNews> news();
    // Messages not sent yet: in the outbox and on their way to it.
    std::size_t outbox_length() const { return length_.load(std::memory_order_relaxed); }
    // Waits until every message (and the summary, while the broker is there) is sent, at most
    // wait; whether the messages are. Then stops the thread.
    bool finish(Millis wait);
    const MqttBroker& broker() const { return broker_; }
    // Why the broker could not be reached, or the outbox not written; "" when all is well.
    std::string error() const;

  private:
    MqttPublisher(MqttBroker broker, std::unique_ptr<Outbox> outbox, ::mosquitto* mosq);
    void run();
    // One turn of the thread: into the outbox, acknowledged ones marked, more sent.
    void turn(std::unique_lock<std::mutex>& lock);
    void connect_now();
    void set_error(std::string why);

    MqttBroker broker_;
    std::unique_ptr<Outbox> outbox_;
    ::mosquitto* mosq_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<OutboxMessage> incoming_;  // from the loop, not in the outbox yet
    std::optional<OutboxMessage> summary_;
    bool stopping_ = false;
    std::string error_;
    std::atomic<std::size_t> length_{0};
    std::atomic<bool> connected_{false};
    std::atomic<bool> unreachable_{false};  // the thread's view
    bool told_unreachable_ = false;         // the loop's alone

    // The thread's alone.
    std::map<int, int64_t> in_flight_;  // libmosquitto's message id: the outbox's
    std::vector<int64_t> acknowledged_;
    int64_t handed_ = 0;  // the last outbox id handed to libmosquitto
    std::size_t in_outbox_ = 0;
    TimePoint next_try_{};
    Millis backoff_{0};
    bool connect_called_ = false;
    std::thread thread_;
};

}  // namespace ovik::station
