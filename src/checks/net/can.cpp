#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"

namespace ovik {
namespace {

UniqueFd open_can() {
    return UniqueFd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
}

bool bind_can(const UniqueFd& sock, const char* ifname) {
    ifreq ifr{};
    copy_text(ifr.ifr_name, ifname);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &ifr) != 0) return false;
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    return ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool readable_within(const UniqueFd& sock, int seconds) {
    return wait_readable(sock.get(), int64_t{seconds} * 1000) > 0;
}

can_frame counting_frame(canid_t id) {
    can_frame f{};
    f.can_id = id;
    f.can_dlc = 8;
    for (uint8_t i = 0; i < 8; ++i) f.data[i] = i;
    return f;
}

// The first data byte i (below the frame's length) that is not i, or -1.
int first_wrong_byte(const can_frame& f) {
    const int n = std::min<int>(f.can_dlc, CAN_MAX_DLEN);
    for (int i = 0; i < n; ++i) {
        if (f.data[i] != i) return i;
    }
    return -1;
}

}  // namespace

int NetChecks::testCAN(const char* ifname) {
    const char* fn = "testCAN";
    const UniqueFd sock = open_can();
    if (!sock.valid()) {
        ctx_.log.report_failure("[%s][%d] : Error while opening socket.\n", fn, 3235);
        return -1;
    }
    if (!bind_can(sock, ifname)) {
        ctx_.log.report_failure("[%s][%d] : Error in socket bind.\n", fn, 3247);
        return -1;
    }
    const can_frame request = counting_frame(0x200);
    (void)::write(sock.get(), &request, sizeof request);
    if (!readable_within(sock, 3)) {
        ctx_.log.report_failure("[%s][%d] : Frame time out!\n", fn, 3271);
        return -1;
    }
    can_frame answer{};
    const ssize_t n = ::read(sock.get(), &answer, sizeof answer);
    if (n < 1) {
        ctx_.log.report_failure("[%s][%d] : Frame read error.\n", fn, 3281);
        return -1;
    }
    if (n < static_cast<ssize_t>(sizeof answer)) {
        ctx_.log.report_failure("[%s][%d] : Frame is incompleted.\n", fn, 3289);
        return -1;
    }
    if (answer.can_id != 0x300) {
        say("receive can id: %X\n", answer.can_id);
        ctx_.log.report_failure("[%s][%d] : Frame ID error. Receive can id: %X \n", fn, 3298,
                                answer.can_id);
        return -1;
    }
    if (first_wrong_byte(answer) >= 0) {
        ctx_.log.report_failure("[%s][%d] : Frame data Error.\n", fn, 3307);
        return -1;
    }
    say("%s test OK.\n", ifname);
    return 0;
}

int NetChecks::testTwoCAN(const char* ifname0, const char* ifname1) {
    const char* fn = "testTwoCAN";
    const UniqueFd first = open_can();
    if (!first.valid()) {
        ctx_.log.report_bare("[%s][%d] : FAIL to create socket.\n", fn, 3336);
        return -1;
    }
    if (!bind_can(first, ifname0)) {
        ctx_.log.report_bare("[%s][%d] : FAIL to bind %s.\n", fn, 3348, ifname0);
        return -1;
    }
    const UniqueFd second = open_can();
    if (!second.valid()) {
        ctx_.log.report_bare("[%s][%d] : FAIL to create socket.\n", fn, 3357);
        return -1;
    }
    if (!bind_can(second, ifname1)) {
        ctx_.log.report_bare("[%s][%d] : FAIL to bind %s.\n", fn, 3369, ifname1);
        return -1;
    }
    // A fixed standard identifier, the same both ways; the receiver does not look at it.
    const can_frame frame_w = counting_frame(CAN_TWO_PORT_ID);
    const UniqueFd* directions[2][2] = {{&first, &second}, {&second, &first}};
    for (const auto& d : directions) {
        const ssize_t wlen = ::write(d[0]->get(), &frame_w, sizeof frame_w);
        if (wlen < 0) {
            ctx_.log.report_bare("[%s][%d] : FAIL to write.\n", fn, 3393);
            return -1;
        }
        sleep_ms(10);
        if (!readable_within(*d[1], 3)) {
            ctx_.log.report_bare("[%s][%d] : Select timeout!\n", fn, 3408);
            return -1;
        }
        can_frame frame_r{};
        const ssize_t rlen = ::read(d[1]->get(), &frame_r, sizeof frame_r);
        if (rlen < 0) {
            ctx_.log.report_bare("[%s][%d] : FAIL to read CAN raw socket.\n", fn, 3416);
            return -1;
        }
        if (rlen != wlen) {
            ctx_.log.report_bare("[%s][%d] : Frame is incomplete: rlen(%d) != wlen(%d)\n", fn, 3423,
                                 static_cast<int>(rlen), static_cast<int>(wlen));
            return -1;
        }
        say("frame_r.can_dlc = %d\n", static_cast<int>(frame_r.can_dlc));
        const int wrong = first_wrong_byte(frame_r);
        if (wrong >= 0) {
            ctx_.log.report_bare("[%s][%d] : Frame data error: frame_r.data[%d] = %d\n", fn, 3432,
                                 wrong, frame_r.data[wrong]);
            return -1;
        }
    }
    say("testTwoCAN OK!!\n");
    return 0;
}

}  // namespace ovik
