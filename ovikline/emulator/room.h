// The emulated room: many devices' host links served by one process on one thread, for
// rehearsing a station against hundreds of devices. Each device is the agent's own run state,
// link state, configuration and test plan, started by the agent's own start-up steps and
// driven by its command handler, link steps and test thread steps; only the hardware around
// them is emulated: a clock per device, a download whose progress advances with time, checks
// that pass unless a fault says otherwise.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "hostlink/link.h"
#include "main/startup.h"
#include "plan/config.h"
#include "plan/test_thread.h"
#include "plan/testplan.h"
#include "plan/testresult.h"

namespace ovik::emulator {

// A scripted fault of one device; after counts seconds into its run (from the start command).
struct Fault {
    enum class Kind { Item, Port, Silent, Reboot, UpgradeFails };
    Kind kind = Kind::Item;
    std::string item;  // Item: the item's name
    int port = 0;      // Port: the serial port
    int after = 0;
    bool fired = false;  // Silent and Reboot happen once
};

// One line of the device list: "SERIAL[@ADDRESS] [FAULT ...]", a fault being
// item:NAME:AFTER, port:N:AFTER, silent:AFTER, reboot:AFTER or upgrade-fails; nullopt for a
// line that is not one (what is wrong is in error). Without an address the device has its
// serial number's plan address, as an agent started with -e.
struct DeviceEntry {
    uint32_t serial = 0;
    std::string address;
    std::vector<Fault> faults;
};
std::optional<DeviceEntry> parse_device_entry(const std::string& line, std::string& error);

// The devices' time: the system clock, plus the waits that a command handler has asked for
// and the device still owes. A handler waits in place (the start command's second); here its
// answer goes out that much later instead, while the other devices carry on.
class RoomClock final : public Clock {
  public:
    MsStamp now_ms() override;
    void sleep_ms(int64_t ms) override { owed_ms_ += ms; }
    int64_t take_owed() {
        const int64_t owed = owed_ms_;
        owed_ms_ = 0;
        return owed;
    }

  private:
    int64_t owed_ms_ = 0;
};

// A device's hardware as its run control sees it: a clock of its own (an offset to the system
// clock, kept across reboots) and a download that advances with time.
class EmulatedPlatform final : public RunPlatform {
  public:
    EmulatedPlatform(int32_t& clock_offset, bool upgrade_fails)
        : clock_offset_(clock_offset), upgrade_fails_(upgrade_fails) {}
    int32_t read_clock() override;
    int set_clock(int32_t t) override;
    void fill_time(uint8_t datetime[6]) override;
    void start_download(const FwrFile& file) override;
    void release_download() override;
    int32_t download_progress() override;
    WifiTexts wifi_texts() override { return WifiTexts{}; }

  private:
    int32_t& clock_offset_;
    bool upgrade_fails_;
    bool downloading_ = false;
    std::optional<int64_t> released_ms_;
};

class Room;
struct Device;

// A device's start-up and checks as the agent's steps see them: its serial number and
// address from the device list, the configuration read once for the room, and checks that
// answer from the device's faults.
class EmulatedDevice final : public AgentDevice {
  public:
    EmulatedDevice(Room& room, Device& device) : room_(room), device_(device) {}
    int run_check(const TestRow& row, const TestCall& call) override;
    void assign_address(TestResult& record, const char* iface) override;
    uint32_t serial_number() override;
    ConfigResult read_config(const char* path, const TestPlan& current) override;
    int prepare_interfaces(const ConfigFile&, AgentCore&) override { return 0; }
    bool start_tpm2_prober() override { return true; }

  private:
    Room& room_;
    Device& device_;
};

// What a device loses when it reboots.
struct DeviceLife : AgentCore {
    DeviceLife(Room& room, Device& d, bool upgrade_fails);
    EmulatedPlatform platform;
    EmulatedDevice device;
    TestLoop test_loop;
    bool test_ended = false;
};

struct Device {
    enum class State { Serving, Answering, Ended, Silent, Rebooting };
    uint32_t serial = 0;
    uint32_t address = 0;  // network order
    std::vector<Fault> faults;
    int32_t clock_offset = 0;
    std::unique_ptr<DeviceLife> life;
    UniqueFd sock;
    State state = State::Rebooting;
    Answer pending;  // the answer of a handler that waits
    std::array<uint32_t, 3> timer_generation{};
};

struct RoomOptions {
    ConfigFile config;
    int reboot_ms = 1000;  // from the reboot until the device announces itself again
    // The devices' first announcements spread over this time, as devices switched on one
    // after the other; 0 for all at once.
    int spread_ms = 3000;
};

class Room {
  public:
    // The room's clock becomes the process's while the room lives.
    Room(RoomOptions options, std::vector<DeviceEntry> entries);
    ~Room();
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    // Opens every device's socket and starts serving; false when one cannot be opened (the
    // reason has been printed).
    bool start(int epoll_fd);
    // A device's socket is readable.
    void readable(uint32_t index);
    // Runs the timers that are due; returns the milliseconds until the next (-1: none).
    int run_timers();
    std::size_t size() const { return devices_.size(); }

    // What a check of the device gives now: a pass unless a fault has come due for it; a
    // failing serial port is counted by the check itself, as the serial tests do.
    int test_result(Device& d, const TestRow& row);
    const ConfigFile& config() const { return options_.config; }

  private:
    enum class TimerKind : uint8_t { Pass, Tick, Boot };
    struct Timer {
        int64_t due;
        uint32_t device;
        TimerKind kind;
        uint32_t generation;
        bool operator>(const Timer& other) const { return due > other.due; }
    };

    bool boot(Device& d, int64_t first_pass_in_ms = 0);
    void next_pass(Device& d);
    void end_link(Device& d);
    void tick(Device& d);
    void take_faults(Device& d);
    void go_silent(Device& d);
    void reboot(Device& d);
    void schedule(Device& d, TimerKind kind, int64_t in_ms);
    void watch(Device& d, bool on);
    uint32_t index_of(const Device& d) const;

    RoomOptions options_;
    std::vector<Device> devices_;
    RoomClock clock_;
    Clock* previous_clock_ = nullptr;
    int epoll_fd_ = -1;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
};

// Milliseconds of the monotonic clock, for the room's timers.
int64_t monotonic_ms();

}  // namespace ovik::emulator
