#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/unique_fd.h"
#include "checks/net/net_checks.h"

namespace ovik {

const char cell_vendors[VENDOR_COUNT][VENDOR_SIZE] = {
    "Sierra Wireless", "Huawei Technologies",   "u-blox", "Yuga",  "Cinterion",
    "Telit",           "QUALCOMM INCORPORATED", "WNC",    "COMPAL"};

const char* find_vendor(const char* text) {
    for (const char* v : cell_vendors) {
        if (std::strstr(text, v) != nullptr) return v;
    }
    return nullptr;
}

int NetChecks::testCELL_AT(const char* port) {
    const char* fn = "testCELL_AT";
    say("[%s|%d]\n", fn, 3569);
    char at_buf[256] = {};
    std::size_t cnt = 0;
    // One wait budget for the whole call: select leaves the time left in it.
    int64_t budget_ms = 5000;
    bool failed = false;
    for (int cnt_retry = 0; cnt_retry < 3; ++cnt_retry) {
        say("AT port : %s\n", port);
        failed = false;
        // A modem that is still coming up has no port yet.
        if (file_exists(port) == 0) sleep_s(5);
        UniqueFd fd(::open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid()) {
            ctx_.log.report_failure("[%s][%d] : Open %s fail. cnt_retry=%d\n", fn, 3580, port,
                                    cnt_retry);
            failed = true;
            sleep_s(1);
            continue;
        }
        termios tio{};
        ::tcgetattr(fd.get(), &tio);
        tio.c_cc[VMIN] = 40;
        tio.c_cc[VTIME] = 30;
        tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
        tio.c_cflag = CLOCAL | CREAD | CS8 | B134;
        ::tcflush(fd.get(), TCIOFLUSH);
        ::tcsetattr(fd.get(), TCSANOW, &tio);

        static constexpr char command[] = "AT+CGMI\r";
        if (::write(fd.get(), command, sizeof command - 1) <= 0) {
            ctx_.log.report_failure("[%s][%d] : Write AT cmd fail. cnt_retry=%d\n", fn, 3602,
                                    cnt_retry);
            failed = true;
            fd.reset();
            sleep_s(1);
            continue;
        }
        for (int loop = 0; loop < 10 && cnt < 12; ++loop) {
            // A spent budget finds nothing ready, whatever has arrived meanwhile.
            const int ready = budget_ms > 0 ? wait_readable(fd.get(), budget_ms, &budget_ms) : 0;
            sleep_s(1);
            if (ready <= 0) {
                ctx_.log.report_failure("[%s][%d] : No AT response. Loop %d\n", fn, 3618, loop);
                continue;
            }
            say("cnt:%d, at_buf:%s\n", static_cast<int>(cnt), at_buf);
            const ssize_t n = ::read(fd.get(), at_buf + cnt, sizeof at_buf - 1 - cnt);
            if (n <= 0) {
                ctx_.log.report_failure("[%s][%d] : Read AT response fail. Loop %d\n", fn, 3625,
                                        loop);
                continue;
            }
            cnt += static_cast<std::size_t>(n);
            if (find_vendor(at_buf) != nullptr) break;
        }
        if (find_vendor(at_buf) == nullptr) {
            ctx_.log.report_failure("[%s][%d] : Cellular: wrong vendor info. cnt_retry=%d\n", fn,
                                    3657, cnt_retry + 1);
            say("Cellular: wrong vendor info (%s)\n", at_buf);
            ctx_.log.writeErrorLog(at_buf);
            failed = true;
            fd.reset();
            sleep_s(1);
            continue;
        }
        break;
    }
    say_framed("%s : %s ", failed ? "FAIL" : "PASS", fn);
    return failed ? -1 : 0;
}

}  // namespace ovik
