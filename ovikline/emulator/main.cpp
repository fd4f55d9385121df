// ovikline-emulator: serves the host links of the devices listed in DEVICES (one a line:
// "SERIAL[@ADDRESS] [FAULT ...]") from the namespace it runs in, whose eth0 carries every
// device's address. Each device behaves as an agent started with -e and the configuration
// given; it prints "ready N" once every device's socket is open (their first announcements
// follow within --spread-ms), and ends on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <getopt.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/unique_fd.h"
#include "emulator/room.h"
#include "main/test_table.h"

namespace {

using namespace ovik;
using namespace ovik::emulator;

int usage() {
    std::fprintf(
        stderr,
        "usage: ovikline-emulator [--config CFG_OVIKBURN] [--reboot-ms MS] [--spread-ms MS]\n"
        "                         DEVICES\n"
        "DEVICES: one device a line, \"SERIAL[@ADDRESS] [FAULT ...]\"; a fault is\n"
        "item:NAME:AFTER, port:N:AFTER, silent:AFTER, reboot:AFTER or upgrade-fails\n"
        "(AFTER: seconds into the device's run)\n");
    return 2;
}

bool read_devices(const char* path, std::vector<DeviceEntry>& entries) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        std::string error;
        auto entry = parse_device_entry(line, error);
        if (!entry) {
            std::fprintf(stderr, "%s:%d: %s\n", path, n, error.c_str());
            return false;
        }
        entries.push_back(std::move(*entry));
    }
    return true;
}

// One descriptor per device, and a few more.
void raise_descriptor_limit(std::size_t devices) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    const rlim_t want = devices + 64;
    if (lim.rlim_cur >= want) return;
    lim.rlim_cur = std::min(want, lim.rlim_max);
    (void)::setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace

int main(int argc, char** argv) {
    quiet.store(1, std::memory_order_relaxed);
    const char* config_path = nullptr;
    RoomOptions options;
    const option long_options[] = {{"config", required_argument, nullptr, 'c'},
                                   {"reboot-ms", required_argument, nullptr, 'r'},
                                   {"spread-ms", required_argument, nullptr, 's'},
                                   {nullptr, 0, nullptr, 0}};
    for (int opt = 0; (opt = ::getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
        if (opt == 'c')
            config_path = optarg;
        else if (opt == 'r')
            options.reboot_ms = std::atoi(optarg);
        else if (opt == 's')
            options.spread_ms = std::atoi(optarg);
        else
            return usage();
    }
    if (optind + 1 != argc) return usage();
    std::vector<DeviceEntry> entries;
    if (!read_devices(argv[optind], entries)) return 2;

    if (config_path != nullptr) {
        ConfigResult read = read_config(config_path, TestPlan(agent_tests()));
        std::fflush(stdout);
        if (!read.file) {
            std::fputs(read.refusal.c_str(), stderr);
            return 2;
        }
        options.config = std::move(*read.file);
    }

    raise_descriptor_limit(entries.size());
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const UniqueFd stop(::signalfd(-1, &stop_signals, SFD_CLOEXEC));
    const UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!stop.valid() || !epoll.valid()) {
        std::fprintf(stderr, "signalfd/epoll: %s\n", std::strerror(errno));
        return 1;
    }
    constexpr uint32_t STOP_KEY = UINT32_MAX;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = STOP_KEY;
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop.get(), &ev);

    Room room(std::move(options), std::move(entries));
    if (!room.start(epoll.get())) return 1;
    std::printf("ready %zu\n", room.size());
    std::fflush(stdout);

    std::vector<epoll_event> events(256);
    for (;;) {
        const int wait_ms = room.run_timers();
        const int n =
            ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), wait_ms);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            if (events[static_cast<std::size_t>(i)].data.u32 == STOP_KEY) return 0;
            room.readable(events[static_cast<std::size_t>(i)].data.u32);
        }
    }
}
