// Time per call of the network and radio tests against good fixtures, with the real code:
//   raw Ethernet on a veth port with a loop-back plug (tc mirred on the far end);
//   ICMP ping of the loop-back address; CAN on vxcan pairs (a responder node answering 0x200
//   with 0x300, and two ports cabled to each other), where the kernel has vxcan;
//   GPS from a receiver that bursts a recorded session once a second, on a pty;
//   a Sierra Wireless modem answering AT+CGMI on a pty.
// It moves itself into mount and network namespaces of its own first (root), so the interfaces
// it makes and the files the tests write stay there.
//
//   ovik-net-bench [RECORDING.log]     (default: ../shared/fixtures/gps/neo-m8n.log)
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/process.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"
#include "pty_fixture.h"

namespace {

using namespace ovik;
using Clock = std::chrono::steady_clock;

struct Timing {
    double median_ms = 0;
    double max_ms = 0;
    int failed = 0;
};

Timing time_calls(const std::function<int()>& call, int runs) {
    std::vector<double> v;
    Timing t;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        if (call() != 0) ++t.failed;
        v.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(v.begin(), v.end());
    t.median_ms = v[v.size() / 2];
    t.max_ms = v.back();
    return t;
}

void row(const char* what, const Timing& t, int runs, const char* bound) {
    std::printf("| %s | %.2f ms | %.1f ms | %d of %d | %s |\n", what, t.median_ms, t.max_ms,
                runs - t.failed, runs, bound);
    std::fflush(stdout);
}

bool run(const Argv& argv) {
    return run_command(argv) == 0;
}

// The objects a device's checks work with; the error log is in the private /dev/shm.
struct Device {
    Configuration config;
    RunState run;
    ErrorLog log;
    PairAddress pair;
    NetChecks net{{config, run, log}, pair};
};

void ethernet(NetChecks& net, int runs) {
    if (!run({"ip", "link", "add", "eth1", "type", "veth", "peer", "name", "far-eth1"}) ||
        !run({"ip", "link", "set", "eth1", "up"}) ||
        !run({"ip", "link", "set", "far-eth1", "up"}) ||
        !run({"tc", "qdisc", "add", "dev", "far-eth1", "ingress"}) ||
        !run({"tc",       "filter", "add",    "dev",      "far-eth1", "parent",  "ffff:",
              "protocol", "all",    "u32",    "match",    "u32",      "0",       "0",
              "action",   "mirred", "egress", "redirect", "dev",      "far-eth1"})) {
        std::printf("| raw Ethernet | - | - | - | no veth or tc mirred here |\n");
        return;
    }
    row("`singlelooptestLANbyRAW` (eth1, loop-back plug)",
        time_calls([&] { return net.singlelooptestLANbyRAW("eth1"); }, runs), runs,
        "fails after 100 ms of silence");
}

void ping(NetChecks& net, int runs) {
    run({"ip", "link", "set", "lo", "up"});
    row("`testPing` (lo, 127.0.0.1, limit 10 s)",
        time_calls([&] { return net.testPing("lo", "127.0.0.1", 10, 1); }, runs), runs,
        "fails after 10 to 11 s");
}

// The far node of a one-port CAN test: answers every 0x200 with 0x300 and data 0 to 7.
void can_responder(const std::stop_token& stop, int ifindex) {
    const UniqueFd s(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    timeval tv{0, 50000};
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    while (!stop.stop_requested()) {
        can_frame f{};
        if (::read(s.get(), &f, sizeof f) != static_cast<ssize_t>(sizeof f)) continue;
        if (f.can_id != 0x200) continue;
        can_frame answer{};
        answer.can_id = 0x300;
        answer.can_dlc = 8;
        for (uint8_t i = 0; i < 8; ++i) answer.data[i] = i;
        (void)::write(s.get(), &answer, sizeof answer);
    }
}

void can_bus(NetChecks& net, int runs) {
    if (!run({"ip", "link", "add", "can0", "type", "vxcan", "peer", "name", "canfar"})) {
        std::printf("| CAN | - | - | - | no vxcan in this kernel (run it in the test machine) |\n");
        return;
    }
    run({"ip", "link", "add", "cana", "type", "vxcan", "peer", "name", "canb"});
    for (const char* n : {"can0", "canfar", "cana", "canb"}) run({"ip", "link", "set", n, "up"});
    {
        const std::jthread node(can_responder, static_cast<int>(::if_nametoindex("canfar")));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        row("`testCAN` (responder node)", time_calls([&] { return net.testCAN("can0"); }, runs),
            runs, "fails after 3 s without an answer");
    }
    row("`testTwoCAN` (ports cabled)",
        time_calls([&] { return net.testTwoCAN("cana", "canb"); }, runs), runs,
        "two 10 ms pauses; fails after 3 s per direction");
}

std::vector<std::string> receiver_bursts(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> bursts;
    std::string line;
    std::string burst;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 6 || line[0] != '$') continue;
        // A receiver's second starts with its position sentence.
        if (line.compare(3, 3, "RMC") == 0 && !burst.empty()) {
            bursts.push_back(burst);
            burst.clear();
        }
        burst += line + "\r\n";
    }
    if (!burst.empty()) bursts.push_back(burst);
    return bursts;
}

void gps(Device& device, const std::string& recording, int runs) {
    const std::vector<std::string> bursts = receiver_bursts(recording);
    if (bursts.empty()) {
        std::printf("| `testGPS` | - | - | - | no recording at %s |\n", recording.c_str());
        return;
    }
    testsupport::Pty receiver;
    copy_text(device.config.gps_device, receiver.path());
    const std::jthread sender([&](const std::stop_token& stop) {
        for (std::size_t n = 0; !stop.stop_requested(); ++n) {
            receiver.feed(bursts[n % bursts.size()]);
            for (int i = 0; i < 100 && !stop.stop_requested(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    row("`testGPS` (receiver bursting once a second)",
        time_calls([&] { return device.net.testGPS(); }, runs), runs,
        "fails after 5 s without data");
}

void cellular(NetChecks& net, int runs) {
    testsupport::Pty modem;
    modem.answer_with("AT+CGMI\r\r\nSierra Wireless, Incorporated\r\n\r\nOK\r\n");
    const std::string port = modem.path();
    row("`testCELL_AT` (Sierra Wireless modem)",
        time_calls([&] { return net.testCELL_AT(port.c_str()); }, runs), runs,
        "about 1 s for a good modem; about 38 s silent, 18 s missing");
}

bool private_namespaces() {
    return ::unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16m") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!private_namespaces()) {
        std::fprintf(stderr,
                     "ovik-net-bench: cannot make private mount and network namespaces (run it "
                     "as root): %s\n",
                     std::strerror(errno));
        return 1;
    }
    const std::string recording =
        argc > 1 ? argv[1] : std::string(OVIK_SHARED_DIR) + "/fixtures/gps/neo-m8n.log";
    quiet.store(1);
    std::printf(
        "| test (good fixture) | median | max | passed | bound |\n|---|---:|---:|---:|---|\n");
    Device device;
    ethernet(device.net, 200);
    ping(device.net, 100);
    can_bus(device.net, 50);
    gps(device, recording, 20);
    cellular(device.net, 5);
    return 0;
}
