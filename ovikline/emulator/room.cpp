#include "emulator/room.h"

#include <arpa/inet.h>
#include <sys/epoll.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/netif.h"
#include "platform/rtc.h"

namespace ovik::emulator {

using namespace wire;

namespace {

constexpr int TEST_STEP_MS = 1000;  // the test thread's sleep between its steps
// The download as the device's upgrade shows it: the thread looks for the request once a
// second, the script prints a few lines, then the progress ramps to 100 in 100 ms steps.
constexpr int64_t DOWNLOAD_WAIT_MS = 1000;
constexpr int64_t DOWNLOAD_LINE_MS = 300;
constexpr int64_t DOWNLOAD_LINES = 4;
constexpr int64_t DOWNLOAD_STEP_MS = 100;

std::optional<int> whole_number(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    return std::stoi(text);
}

std::optional<Fault> parse_fault(const std::string& word) {
    std::vector<std::string> parts;
    std::stringstream in(word);
    for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
    if (parts.size() == 1 && parts[0] == "upgrade-fails") {
        Fault f;
        f.kind = Fault::Kind::UpgradeFails;
        return f;
    }
    const std::optional<int> after = parts.size() >= 2 ? whole_number(parts.back()) : std::nullopt;
    if (!after) return std::nullopt;
    Fault f;
    f.after = *after;
    if (parts.size() == 3 && parts[0] == "item" && !parts[1].empty()) {
        f.kind = Fault::Kind::Item;
        f.item = parts[1];
        return f;
    }
    const std::optional<int> port = parts.size() == 3 ? whole_number(parts[1]) : std::nullopt;
    if (parts.size() == 3 && parts[0] == "port" && port && *port < static_cast<int>(PORT_COUNT)) {
        f.kind = Fault::Kind::Port;
        f.port = *port;
        return f;
    }
    if (parts.size() != 2) return std::nullopt;
    if (parts[0] == "silent")
        f.kind = Fault::Kind::Silent;
    else if (parts[0] == "reboot")
        f.kind = Fault::Kind::Reboot;
    else
        return std::nullopt;
    return f;
}

bool has_fault(const Device& d, Fault::Kind kind) {
    for (const Fault& f : d.faults) {
        if (f.kind == kind) return true;
    }
    return false;
}

}  // namespace

std::optional<DeviceEntry> parse_device_entry(const std::string& line, std::string& error) {
    std::stringstream in(line);
    std::string word;
    in >> word;
    const std::size_t at = word.find('@');
    const std::optional<int> serial = whole_number(word.substr(0, at));
    in_addr address{};
    if (!serial || *serial == 0 ||
        (at != std::string::npos && ::inet_aton(word.substr(at + 1).c_str(), &address) == 0)) {
        error = "a device line starts with its serial number and optionally @ADDRESS, not '" +
                word + "'";
        return std::nullopt;
    }
    DeviceEntry entry{
        static_cast<uint32_t>(*serial),
        at == std::string::npos ? *plan_address_text("eth0", *serial) : word.substr(at + 1),
        {}};
    while (in >> word) {
        const std::optional<Fault> f = parse_fault(word);
        if (!f) {
            error = "serial " + std::to_string(*serial) + ": unknown fault '" + word +
                    "' (item:NAME:AFTER, port:N:AFTER, silent:AFTER, reboot:AFTER, upgrade-fails)";
            return std::nullopt;
        }
        entry.faults.push_back(*f);
    }
    return entry;
}

int64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

MsStamp RoomClock::now_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + owed_ms_;
    return MsStamp{ms / 1000, static_cast<int32_t>(ms % 1000)};
}

int32_t EmulatedPlatform::read_clock() {
    return static_cast<int32_t>(ovik::now_ms().sec) + clock_offset_;
}

int EmulatedPlatform::set_clock(int32_t t) {
    clock_offset_ = t - static_cast<int32_t>(ovik::now_ms().sec);
    return 0;
}

void EmulatedPlatform::fill_time(uint8_t datetime[6]) {
    datetime_bytes(read_clock(), datetime);
}

void EmulatedPlatform::start_download(const FwrFile& /*file*/) {
    // One download at a time, and it never starts anew: its progress is never reset.
    downloading_ = true;
}

void EmulatedPlatform::release_download() {
    if (downloading_ && !released_ms_) released_ms_ = monotonic_ms();
}

int32_t EmulatedPlatform::download_progress() {
    if (!released_ms_) return 0;
    const int64_t t = monotonic_ms() - *released_ms_ - DOWNLOAD_WAIT_MS;
    if (t < 0) return 0;
    const int64_t lines_end = DOWNLOAD_LINES * DOWNLOAD_LINE_MS;
    if (t < lines_end) return static_cast<int32_t>(t / DOWNLOAD_LINE_MS);
    if (upgrade_fails_) return -1;
    return static_cast<int32_t>(
        std::min<int64_t>(100, DOWNLOAD_LINES + 1 + (t - lines_end) / DOWNLOAD_STEP_MS));
}

DeviceLife::DeviceLife(Room& room, Device& d, bool upgrade_fails)
    : platform(d.clock_offset, upgrade_fails), device(room, d), test_loop(testplan, run, device) {}

int EmulatedDevice::run_check(const TestRow& row, const TestCall& /*call*/) {
    return room_.test_result(device_, row);
}

void EmulatedDevice::assign_address(TestResult& record, const char* iface) {
    // Only eth0 is the room's; the other interfaces exist on the device alone.
    if (std::strcmp(iface, "eth0") == 0) record.ip = ntohl(device_.address);
}

uint32_t EmulatedDevice::serial_number() {
    return device_.serial;
}

ConfigResult EmulatedDevice::read_config(const char* /*path*/, const TestPlan& /*current*/) {
    return {room_.config(), {}};
}

Room::Room(RoomOptions options, std::vector<DeviceEntry> entries)
    : options_(std::move(options)), previous_clock_(set_clock(&clock_)) {
    devices_.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Device& d = devices_[i];
        d.serial = entries[i].serial;
        d.faults = std::move(entries[i].faults);
        d.address = ::inet_addr(entries[i].address.c_str());
    }
}

Room::~Room() {
    set_clock(previous_clock_);
}

uint32_t Room::index_of(const Device& d) const {
    return static_cast<uint32_t>(&d - devices_.data());
}

bool Room::start(int epoll_fd) {
    epoll_fd_ = epoll_fd;
    const auto n = static_cast<int64_t>(devices_.size());
    for (Device& d : devices_) {
        if (!boot(d, options_.spread_ms * static_cast<int64_t>(index_of(d)) / n)) return false;
    }
    return true;
}

// The agent's start-up with -e, the test thread's beginning, and a socket of its own.
bool Room::boot(Device& d, int64_t first_pass_in_ms) {
    d.life = std::make_unique<DeviceLife>(*this, d, has_fault(d, Fault::Kind::UpgradeFails));
    DeviceLife& life = *d.life;
    if (start_from_environment(life, life.device) != 0 ||
        start_run(life, life.device, false) != 0) {
        std::fprintf(stderr, "serial %u: the start-up failed\n", d.serial);
        return false;
    }
    life.test_loop.begin();
    d.sock = open_host_link_socket(d.address);
    if (!d.sock.valid()) {
        in_addr a{d.address};
        std::fprintf(stderr, "serial %u: no host link socket on %s\n", d.serial, ::inet_ntoa(a));
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = index_of(d);
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, d.sock.get(), &ev) != 0) {
        std::fprintf(stderr, "epoll_ctl: %s\n", std::strerror(errno));
        return false;
    }
    d.state = Device::State::Serving;
    schedule(d, TimerKind::Tick, TEST_STEP_MS);
    if (first_pass_in_ms > 0) {
        schedule(d, TimerKind::Pass, first_pass_in_ms);
    } else {
        next_pass(d);
    }
    return true;
}

int Room::test_result(Device& d, const TestRow& row) {
    DeviceLife& life = *d.life;
    const int64_t into_run =
        static_cast<int64_t>(life.platform.read_clock()) - life.link.start_time;
    int result = 0;
    for (const Fault& f : d.faults) {
        if (into_run < f.after) continue;
        if (f.kind == Fault::Kind::Item && row.item != nullptr && f.item == row.item) result = -1;
        if (f.kind == Fault::Kind::Port && row.item == nullptr) {
            bump(life.run.testresult.portfail[static_cast<std::size_t>(f.port)]);
            result = -1;
        }
    }
    return result;
}

void Room::schedule(Device& d, TimerKind kind, int64_t in_ms) {
    const auto k = static_cast<std::size_t>(kind);
    timers_.push(Timer{monotonic_ms() + in_ms, index_of(d), kind, ++d.timer_generation[k]});
}

void Room::watch(Device& d, bool on) {
    epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0U;
    ev.data.u32 = index_of(d);
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, d.sock.get(), &ev);
}

// The top of the link loop's pass, then its wait.
void Room::next_pass(Device& d) {
    DeviceLife& life = *d.life;
    if (life.link.loop_end) {
        end_link(d);
        return;
    }
    announce_or_report(d.sock, life.link, life.run, life.platform);
    schedule(d, TimerKind::Pass, link_wait_ms(life.run));
}

// The end of the run: the socket closes and the verdict stands.
void Room::end_link(Device& d) {
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, d.sock.get(), nullptr);
    d.sock.reset();
    d.state = Device::State::Ended;
    ++d.timer_generation[static_cast<std::size_t>(TimerKind::Pass)];
    DeviceLife& life = *d.life;
    life.run.set_status(verdict_failed(life.link, life.run) ? STATUS_FAIL : STATUS_OK);
}

void Room::readable(uint32_t index) {
    Device& d = devices_[index];
    if (d.state != Device::State::Serving) return;
    DeviceLife& life = *d.life;
    const Answer answer = receive_command(d.sock, life.link, life.run, life.platform);
    const int64_t owed = clock_.take_owed();
    if (owed > 0) {
        d.state = Device::State::Answering;
        d.pending = answer;
        watch(d, false);
        schedule(d, TimerKind::Pass, owed);
        return;
    }
    if (answer.reply != Reply::None) {
        send_answer(d.sock, life.link, life.run, life.platform, answer);
    }
    next_pass(d);
}

// The test thread's step after its pause; the loop ends for good at the stop or the verdict.
void Room::tick(Device& d) {
    take_faults(d);
    if (d.state == Device::State::Rebooting || d.state == Device::State::Silent) return;
    DeviceLife& life = *d.life;
    if (!life.test_ended && !life.test_loop.step()) life.test_ended = true;
    if (!life.test_ended || d.state != Device::State::Ended)
        schedule(d, TimerKind::Tick, TEST_STEP_MS);
}

void Room::take_faults(Device& d) {
    if (d.state == Device::State::Rebooting || d.state == Device::State::Silent) return;
    DeviceLife& life = *d.life;
    if (life.link.start_time == 0) return;
    const int64_t into_run =
        static_cast<int64_t>(life.platform.read_clock()) - life.link.start_time;
    for (Fault& f : d.faults) {
        if (f.fired || into_run < f.after) continue;
        if (f.kind == Fault::Kind::Silent) {
            f.fired = true;
            go_silent(d);
            return;
        }
        if (f.kind == Fault::Kind::Reboot) {
            f.fired = true;
            reboot(d);
            return;
        }
    }
}

// A hung agent: its socket stays, but nothing is read from it or sent on it any more.
void Room::go_silent(Device& d) {
    if (d.sock.valid()) watch(d, false);
    d.state = Device::State::Silent;
    for (auto& g : d.timer_generation) ++g;
}

// Power off: everything but the clock is lost; the device boots again after a while.
void Room::reboot(Device& d) {
    if (d.sock.valid()) (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, d.sock.get(), nullptr);
    d.sock.reset();
    d.life.reset();
    d.state = Device::State::Rebooting;
    for (auto& g : d.timer_generation) ++g;
    schedule(d, TimerKind::Boot, options_.reboot_ms);
}

int Room::run_timers() {
    for (;;) {
        if (timers_.empty()) return -1;
        const Timer t = timers_.top();
        const int64_t now = monotonic_ms();
        if (t.due > now) return static_cast<int>(t.due - now);
        timers_.pop();
        Device& d = devices_[t.device];
        if (t.generation != d.timer_generation[static_cast<std::size_t>(t.kind)]) continue;
        switch (t.kind) {
            case TimerKind::Pass:
                if (d.state == Device::State::Answering) {
                    DeviceLife& life = *d.life;
                    if (d.pending.reply != Reply::None) {
                        send_answer(d.sock, life.link, life.run, life.platform, d.pending);
                    }
                    d.state = Device::State::Serving;
                    watch(d, true);
                }
                if (d.state == Device::State::Serving) next_pass(d);
                break;
            case TimerKind::Tick:
                tick(d);
                break;
            case TimerKind::Boot:
                if (!boot(d)) std::fprintf(stderr, "serial %u did not come back\n", d.serial);
                break;
        }
    }
}

}  // namespace ovik::emulator
