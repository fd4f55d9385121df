#include <fcntl.h>
#include <iwlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/console.h"
#include "base/process.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"

namespace ovik {
namespace {

constexpr int AP_CHANNELS[10] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr int STATION_MHZ[10] = {2417, 2422, 2427, 2432, 2437, 2442, 2447, 2452, 2457, 2462};

int table_index(const char* sn) {
    return static_cast<int>(std::strtol(sn, nullptr, 10) % 10);
}

bool write_text(const char* path, const std::string& text) {
    UniqueFile f(std::fopen(path, "w"));
    if (!f) return false;
    return std::fputs(text.c_str(), f.get()) >= 0;
}

}  // namespace

int ap_channel(const char* sn) {
    return AP_CHANNELS[(table_index(sn) + 10) % 10];
}
int station_frequency(const char* sn) {
    return STATION_MHZ[(table_index(sn) + 10) % 10];
}

std::string hostapd_config(const char* iface, const char* ssid, int channel) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "interface=%s\nssid=%s\nchannel=%d\ndriver=nl80211\nhw_mode=g\n"
                  "ieee80211ac=1\n",
                  iface, ssid, channel);
    return text;
}

int set_wireless(const char* iface, const char* essid) {
    say("start %s set_wireless!\n", iface);
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        say("%s socket open fail !\n", iface);
        return -1;
    }
    run_command({"iwconfig", iface, "key", "off"});
    say("%s set WEPKEY off !\n", iface);
    sleep_s(5);

    iwreq wrq{};
    copy_text(wrq.ifr_name, iface);
    char essid_buf[IW_ESSID_MAX_SIZE + 1];
    copy_text(essid_buf, essid);
    wrq.u.essid.pointer = essid_buf;
    wrq.u.essid.length = static_cast<uint16_t>(std::strlen(essid_buf) + 1);
    wrq.u.essid.flags = 1;
    if (::ioctl(sock.get(), SIOCSIWESSID, &wrq) < 0) {
        say("%s set ESSID fail !\n", iface);
        return -1;
    }
    say("%s set ESSID ok !\n", iface);

    const std::time_t start = std::time(nullptr);
    for (;;) {
        iwreq ap{};
        copy_text(ap.ifr_name, iface);
        if (::ioctl(sock.get(), SIOCGIWAP, &ap) == 0) {
            char text[32];
            iw_ether_ntop(reinterpret_cast<const ether_addr*>(ap.u.ap_addr.sa_data), text);
            if (std::strcmp(text, "00:00:00:00:00:00") != 0) {
                say("%s get AP address ok!\n", iface);
                return 0;
            }
        }
        if (std::time(nullptr) - start > 20) break;
    }
    say("%s set APP ADRESS timeout !\n", iface);
    return -1;
}

int wlan_start_ap(const char* iface, const char* ssid, const char* final_sn) {
    if (std::strcmp(iface, "wlan0") != 0) return 0;
    const UniqueFd fd(::open(HOSTAPD_CONF, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        say("Create file /dev/shm/hostapd.conf fail\n");
        return -1;
    }
    const int channel = ap_channel(final_sn);
    const std::string conf = hostapd_config(iface, ssid, channel);
    if (::write(fd.get(), conf.data(), conf.size()) != static_cast<ssize_t>(conf.size())) {
        say("Write file /dev/shm/hostaapd.conf or /dev/shm/hostapd1.conf fail\n");
        return -1;
    }
    run_command({"hostapd", HOSTAPD_CONF, "-B"});
    write_text(WLAN0_CHANNEL, std::to_string(channel));
    sleep_s(5);
    return 0;
}

int wlan_connect_station(const char* iface, const char* ssid, const char* final_sn) {
    if (std::strcmp(iface, "wlan0") != 0) return 0;
    run_command({"iw", iface, "connect", ssid});
    sleep_s(5);
    write_text(WLAN0_CHANNEL, std::to_string(station_frequency(final_sn)));
    // "iw IFACE link | grep -c Connected": connected when a line says so.
    ChildProcess::Options options;
    options.capture_stdout = true;
    auto link = ChildProcess::spawn({"iw", iface, "link"}, options);
    if (!link) return 1;
    bool connected = false;
    char line[256];
    while (std::fgets(line, sizeof line, link->output()) != nullptr) {
        if (std::strstr(line, "Connected") != nullptr) connected = true;
    }
    link->wait();
    return connected ? 0 : 1;
}

void NetChecks::get_bit_rate(const char* iface) {
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        std::printf("%s socket open fail !\n", iface);
        return;
    }
    iwreq wrq{};
    copy_text(wrq.ifr_name, iface);
    if (::ioctl(sock.get(), SIOCGIWRATE, &wrq) < 0) {
        std::printf("%s get BIT RATE fail !\n", iface);
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(wrq.u.bitrate.value) / 1000000.0);
    const long mbit = std::strtol(text, nullptr, 10);
    ctx_.run.testresult.wlan_bitrate.store(static_cast<uint8_t>(mbit & 0xFF),
                                           std::memory_order_relaxed);
    say("%s get BIT RATE OK !\n", iface);
    say("speed is %ld\n", static_cast<long>(mbit & 0xFF));
}

int wireless_quality(const char* line, const char* iface) {
    while (std::isspace(static_cast<unsigned char>(*line)) != 0) ++line;
    const std::size_t n = std::strlen(iface);
    if (std::strncmp(line, iface, n) != 0 || line[n] != ':') return -1;
    // After the colon: the status field, skipped whole, then the quality such as "54.".
    const char* p = line + n + 1;
    while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)) == 0) ++p;
    char* end = nullptr;
    errno = 0;
    const long quality = std::strtol(p, &end, 10);
    // The kernel writes a byte; anything else is no quality.
    if (end == p || errno == ERANGE || quality < 0 || quality > 255) return -1;
    return static_cast<int>(quality);
}

void NetChecks::get_signal_level(const char* iface) {
    UniqueFile f(std::fopen("/proc/net/wireless", "r"));
    if (!f) return;
    char line[255];
    while (std::fgets(line, sizeof line, f.get()) != nullptr) {
        const int q = wireless_quality(line, iface);
        if (q >= 0)
            ctx_.run.testresult.wlan_signal.store(static_cast<uint8_t>(q),
                                                  std::memory_order_relaxed);
    }
    say("%s get SIGNAL LEVEL OK !\n", iface);
}

int testWLANDetect() {
    const UniqueFd fd(::open(WLAN_PCI_CONFIG, O_RDWR | O_SYNC | O_CLOEXEC));
    if (!fd.valid()) {
        std::printf("Can't open pci failed\n");
        return -1;
    }
    uint8_t buf[64] = {};
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    // A failed read is as good as no module.
    if (n <= 0 || buf[8] == 0xFF) return -1;
    return 0;
}

}  // namespace ovik
