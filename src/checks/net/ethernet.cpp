#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"

namespace ovik {
namespace {

constexpr std::size_t FRAME_SIZE = 18;

}  // namespace

int NetChecks::singlelooptestLANbyRAW(const char* port) {
    const auto fail = [this](const char* fmt, int site, const char* name) {
        ctx_.log.report_failure(fmt, "singlelooptestLANbyRAW", site, name);
        return -1;
    };
    const UniqueFd sock(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
    if (!sock.valid()) return fail("[%s][%d] : LAN port %s socket open fail !\n", 2251, port);

    ifreq ifr{};
    copy_text(ifr.ifr_name, port);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &ifr) != 0) {
        return fail("[%s][%d] : LAN port %s ioctl SIOCGIFINDEX error !\n", 2265, port);
    }
    const int ifindex = ifr.ifr_ifindex;
    if (::ioctl(sock.get(), SIOCGIFHWADDR, &ifr) != 0) {
        return fail("[%s][%d] : LAN port %s ioctl SIOCGIFHWADDR error !\n", 2278, port);
    }
    uint8_t mac[ETH_ALEN];
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, ETH_ALEN);
    say("[%s] MAC - %02x:%02x:%02x:%02x:%02x:%02x\n", port, mac[0], mac[1], mac[2], mac[3], mac[4],
        mac[5]);

    // Promiscuous, so the looped-back frame is taken whatever the PHY does; it stays so.
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_PROMISC);
        (void)::ioctl(sock.get(), SIOCSIFFLAGS, &ifr);
    }
    const int on = 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return fail("[%s][%d] : LAN port %s setsockopt SO_REUSEADDR error !\n", 2299, port);
    }
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ALL);
    local.sll_ifindex = static_cast<int>(::if_nametoindex(port));
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return fail("[%s][%d] : LAN port %s bind failed !\n", 2313, port);
    }

    uint8_t frame[128] = {};
    std::memcpy(frame, mac, ETH_ALEN);
    std::memcpy(frame + ETH_ALEN, mac, ETH_ALEN);
    const uint8_t tail[] = {0x08, 0x00, 0x55, 0xAA, 0xFF, 0x11};
    std::memcpy(frame + std::size_t{2} * ETH_ALEN, tail, sizeof tail);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ALL);
    to.sll_ifindex = ifindex;
    to.sll_halen = ETH_ALEN;
    std::memcpy(to.sll_addr, mac, ETH_ALEN);
    if (::sendto(sock.get(), frame, FRAME_SIZE, 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        return fail("[%s][%d] : LAN port %s send failed !\n", 2354, port);
    }

    uint8_t got[128];
    ssize_t n = 0;
    for (;;) {
        // A short frame leaves the rest of the buffer as zeros, never as the last frame's bytes.
        std::memset(got, 0, sizeof got);
        if (wait_readable(sock.get(), 100) <= 0) {
            return fail("[%s][%d] : LAN port %s wait data coming timeout !\n", 2371, port);
        }
        n = ::recvfrom(sock.get(), got, FRAME_SIZE, 0, nullptr, nullptr);
        // A failed receive has nothing to show; its length is not the frame's.
        if (n < 0) break;
        if (n >= ETH_ALEN && std::memcmp(got, mac, ETH_ALEN) == 0) break;
        // One call, so that no other thread's line lands between the two.
        say("No correct destination MAC address !\nError MAC - %02x:%02x:%02x:%02x:%02x:%02x\n",
            got[0], got[1], got[2], got[3], got[4], got[5]);
    }
    if (n != static_cast<ssize_t>(FRAME_SIZE)) {
        return fail("[%s][%d] : LAN port %s receive data length fail !\n", 2397, port);
    }
    if (std::memcmp(got, frame, FRAME_SIZE) != 0) {
        return fail("[%s][%d] : LAN port %s receive data error !\n", 2408, port);
    }
    say("%s test OK.\n", port);
    return 0;
}

}  // namespace ovik
