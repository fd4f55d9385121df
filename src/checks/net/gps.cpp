#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"
#include "plan/config.h"

namespace ovik {

const char nmea_ids[NMEA_IDS][NMEA_ID_SIZE] = {"GNRMC", "GNVTG", "GNGGA", "GNGSA", "GPGSV",
                                               "GLGSV", "GNTXT", "GPRMC", "GPVTG", "GPGGA",
                                               "GPGSA", "GPGLL", "GNGLL"};

const char* find_nmea_id(const char* text) {
    for (const char* id : nmea_ids) {
        if (std::strstr(text, id) != nullptr) return id;
    }
    return nullptr;
}

int NetChecks::testGPS() {
    const std::string path = text_of(ctx_.config.gps_device);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        say("Open %s fail !\n", path.c_str());
        return -1;
    }
    termios tio{};
    ::tcgetattr(fd.get(), &tio);
    tio.c_cflag = B115200 | CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 128;
    tio.c_cc[VTIME] = 100;
    ::tcsetattr(fd.get(), TCSANOW, &tio);

    const int ready = wait_readable(fd.get(), 5000);
    if (ready < 0) {
        say("Fail to select in testGPS().\n");
        return -1;
    }
    if (ready == 0) {
        say("Timeout to select in testGPS().\n");
        return -1;
    }
    char grbuf[257] = {};
    const ssize_t n = ::read(fd.get(), grbuf, 256);
    if (n <= 0) {
        say("Fail to read GPS data. ret:%d\n", static_cast<int>(n));
        return -1;
    }
    if (find_nmea_id(grbuf) != nullptr) return 0;
    say("Got wrong message. \n");
    say("grbuf: %s\n", grbuf);
    return ++gps_bad_msg_count == 1 ? 0 : -1;
}

}  // namespace ovik
