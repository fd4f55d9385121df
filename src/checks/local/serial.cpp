#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "checks/local/local_checks.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "plan/testresult.h"

namespace ovik {

namespace {

// Byte i is the digit of i modulo 10.
void build_pattern(uint8_t* wbuf) {
    for (std::size_t i = 0; i < SERIAL_BUF_SIZE; ++i) wbuf[i] = static_cast<uint8_t>('0' + i % 10);
}

std::string port_path(const Configuration& config, int n) {
    return text_of(config.serial_device) + std::to_string(n);
}

// The whole-second window of a receive phase: about 5 seconds.
bool window_over(int64_t start) {
    const int64_t d = now_ms().sec - start;
    return d > 4 || d < -4;
}

void close_port(UniqueFd& fd) {
    if (!fd.valid()) return;
    ::tcflush(fd.get(), TCIOFLUSH);
    fd.reset();
}

}  // namespace

uint16_t SerialChecks::tested_ports() const {
    return static_cast<uint16_t>(std::min<std::size_t>(ctx_.run.testresult.portnum, SERIAL_PORTS));
}

void SerialChecks::count_port_failure(int n) {
    bump(ctx_.run.testresult.portfail[static_cast<std::size_t>(n)]);
}

void SerialChecks::print_received(int n) {
    // The buffer holds at most 128 bytes with no terminator of its own.
    say("%.*s\n", static_cast<int>(SERIAL_BUF_SIZE), reinterpret_cast<const char*>(rbuf[n]));
}

// Compares a full receive buffer with the pattern; reports the first difference.
bool SerialChecks::pattern_matches(const char* test, int n, int site_port, int site_byte) {
    for (std::size_t i = 0; i < SERIAL_BUF_SIZE; ++i) {
        if (rbuf[n][i] == wbuf[i]) continue;
        const ConsoleBlock block;
        ctx_.log.report_failure("[%s][%d] : Serial port %d read data error !\n", test, site_port,
                                n);
        ctx_.log.report_failure("[%s][%d] : wbuf[%d]: %x  !=  rbuf[%d][%d]: %x\n", test, site_byte,
                                static_cast<int>(i), wbuf[i], n, static_cast<int>(i), rbuf[n][i]);
        return false;
    }
    return true;
}

// One port of the loop-back test; true when it passed.
bool SerialChecks::loopback_port(int n) {
    const std::string path = port_path(ctx_.config, n);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        ctx_.log.report_failure("[%s][%d] : Open UART %s fail !\n", "testserial", 1650,
                                path.c_str());
        count_port_failure(n);
        return false;
    }
    build_pattern(wbuf);

    termios tio{};
    ::tcgetattr(fd.get(), &tio);
    ::cfmakeraw(&tio);
    tio.c_iflag |= IGNPAR;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
    const uint32_t rate = ctx_.run.serial_baud.load(std::memory_order_relaxed);
    long speed = baudrate_to_speed(rate);
    if (speed < 0) {
        say("Error: bad baudrate (%d), set to 115200.\n", static_cast<int>(rate));
        speed = B115200;
    }
    tio.c_cflag |= static_cast<tcflag_t>(speed) | CS8 | CREAD | CLOCAL;
    if (ctx_.config.interface_mode == 0) {
        tio.c_cflag |= CRTSCTS;
    } else {
        tio.c_iflag |= IXON | IXOFF | IXANY;
    }
    ::cfsetispeed(&tio, static_cast<speed_t>(speed));
    ::cfsetospeed(&tio, static_cast<speed_t>(speed));
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::tcflush(fd.get(), TCIOFLUSH);
    ::tcsetattr(fd.get(), TCSANOW, &tio);
    sleep_ms(100);

    bool passed = true;
    if (::write(fd.get(), wbuf, SERIAL_BUF_SIZE) < 0) {
        say("Error: Transmit data error!! (Port %d)\n", n);
        passed = false;
    } else {
        std::size_t rcnt = 0;
        const int64_t start = now_ms().sec;
        while (!window_over(start) && rcnt < SERIAL_BUF_SIZE) {
            const int ready = wait_readable(fd.get(), 1000);
            if (ready < 0) {
                say("select()");
                continue;
            }
            if (ready == 0) {
                say("[%s][%d] : Error: Received data timeout!!\n", "testserial", 1739);
                continue;
            }
            const ssize_t got = ::read(fd.get(), rbuf[n] + rcnt, SERIAL_BUF_SIZE - rcnt);
            if (got < 0) {
                say("[%s][%d] : Error: Received data error!!\n", "testserial", 1731);
            } else if (got == 0) {
                say("[%s][%d] : Error: Received data size error!!\n", "testserial", 1734);
            } else {
                rcnt += static_cast<std::size_t>(got);
                sleep_ms(1);
            }
        }
        if (rcnt < SERIAL_BUF_SIZE) {
            const ConsoleBlock block;  // the report, then what arrived
            ctx_.log.report_failure("[%s][%d] : Serial port %d(rcnt=%d) read length error !\n",
                                    "testserial", 1748, n, static_cast<int>(rcnt));
            print_received(n);
            count_port_failure(n);
            passed = false;
        } else if (!pattern_matches("testserial", n, 1759, 1762)) {
            count_port_failure(n);
            passed = false;
        }
    }
    close_port(fd);
    return passed;
}

long baudrate_to_speed(uint32_t rate) {
    switch (rate) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1152000:
            return B1152000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
        case 2500000:
            return B2500000;
        case 3000000:
            return B3000000;
        case 3500000:
            return B3500000;
        case 4000000:
            return B4000000;
        default:
            return -1;
    }
}

int SerialChecks::testserial() {
    std::memset(rbuf, 0, sizeof rbuf);
    bool all_passed = true;
    const uint16_t ports = tested_ports();
    for (int n = 0; n < ports; ++n) {
        const bool passed = loopback_port(n);
        all_passed = all_passed && passed;
        say_framed("%s : %s (Port %d)", passed ? "PASS" : "FAIL", "testserial", n);
    }
    return all_passed ? 0 : -1;
}

int SerialChecks::testserial2W() {
    const uint16_t ports = tested_ports();
    std::array<UniqueFd, SERIAL_PORTS> fds;
    std::array<std::size_t, SERIAL_PORTS> rcnt{};
    bool failed = false;
    for (int n = 0; n < ports; ++n) {
        const std::string path = port_path(ctx_.config, n);
        fds[static_cast<std::size_t>(n)].reset(
            ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fds[static_cast<std::size_t>(n)].valid()) {
            ctx_.log.report_failure("[%s][%d] : Open UART %s fail !\n", "testserial2W", 1922,
                                    path.c_str());
            count_port_failure(n);
            failed = true;
        }
    }
    std::memset(rbuf, 0, sizeof rbuf);
    build_pattern(wbuf);

    termios tio{};
    tio.c_iflag = IXON | IXOFF | IXANY;
    tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    for (int n = 0; n < ports; ++n) {
        const int fd = fds[static_cast<std::size_t>(n)].get();
        ::tcflush(fd, TCIOFLUSH);
        ::tcsetattr(fd, TCSANOW, &tio);
    }

    for (int r = 0; r <= 1; ++r) {
        sleep_ms(100);
        for (int n = 1 - r; n < ports; n += 2) {
            (void)::write(fds[static_cast<std::size_t>(n)].get(), wbuf, SERIAL_BUF_SIZE);
        }
        const int64_t start = now_ms().sec;
        while (!window_over(start)) {
            bool all_full = true;
            for (int n = r; n < ports; n += 2) {
                std::size_t& count = rcnt[static_cast<std::size_t>(n)];
                if (count >= SERIAL_BUF_SIZE) continue;
                const ssize_t got = ::read(fds[static_cast<std::size_t>(n)].get(), rbuf[n] + count,
                                           SERIAL_BUF_SIZE - count);
                if (got > 0) count += static_cast<std::size_t>(got);
                if (count < SERIAL_BUF_SIZE) all_full = false;
            }
            if (all_full) break;
            sleep_ms(5);
        }
        for (int n = r; n < ports; n += 2) {
            const std::size_t count = rcnt[static_cast<std::size_t>(n)];
            if (count < SERIAL_BUF_SIZE) {
                const ConsoleBlock block;  // the report, then what arrived
                ctx_.log.report_failure(
                    "[%s][%d] : Serial port %d(rcnt=%d) read length error\t\t\t\t\t\t\t\t\t !\n",
                    "testserial2W", 1990, n, static_cast<int>(count));
                print_received(n);
                count_port_failure(n);
                failed = true;
            } else if (!pattern_matches("testserial2W", n, 2002, 2006)) {
                count_port_failure(n);
                failed = true;
            }
        }
    }
    for (auto& fd : fds) close_port(fd);
    if (!failed) {
        say_framed("PASS : %s", "testserial2W");
    }
    return failed ? -1 : 0;
}

}  // namespace ovik
