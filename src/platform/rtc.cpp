#include "platform/rtc.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/process.h"
#include "base/unique_fd.h"

namespace ovik {
namespace {

// Serialises opening the clock device between our own threads; the busy retries cover
// other processes that hold it.
std::mutex rtc_mutex;

constexpr int BUSY_RETRIES = 100;
constexpr int BUSY_WAIT_MS = 10;

UniqueFd open_rtc(const RtcDevices& devices, bool for_writing) {
    UniqueFd fd;
    {
        std::lock_guard<std::mutex> lock(rtc_mutex);
        fd.reset(::open(devices.primary, O_RDONLY | O_CLOEXEC));
        for (int retry = 0; !fd.valid() && errno == EBUSY && retry < BUSY_RETRIES; ++retry) {
            sleep_ms(BUSY_WAIT_MS);
            fd.reset(::open(devices.primary, O_RDONLY | O_CLOEXEC));
        }
    }
    if (fd.valid()) return fd;
    std::fprintf(stderr, "Cannot open %s: %s\n", devices.primary, std::strerror(errno));
    fd.reset(::open(devices.fallback, (for_writing ? O_WRONLY : O_RDONLY) | O_CLOEXEC));
    if (!fd.valid()) {
        std::fprintf(stderr, "%s: %s\n",
                     for_writing ? "Could not access RTC in O_WRONLY mode"
                                 : "Could not access RTC in O_RDONLY mode",
                     std::strerror(errno));
    }
    return fd;
}

}  // namespace

int32_t read_rtc_time(const RtcDevices& devices) {
    const UniqueFd fd = open_rtc(devices, false);
    if (!fd.valid()) return -1;
    rtc_time rt{};
    if (::ioctl(fd.get(), RTC_RD_TIME, &rt) != 0) {
        std::fprintf(stderr, "Could not read time from RTC: %s\n", std::strerror(errno));
        // A cleared date is no time at all; say so rather than return a date in 1899.
        return -1;
    }
    std::tm tm{};
    tm.tm_sec = rt.tm_sec;
    tm.tm_min = rt.tm_min;
    tm.tm_hour = rt.tm_hour;
    tm.tm_mday = rt.tm_mday;
    tm.tm_mon = rt.tm_mon;
    tm.tm_year = rt.tm_year;
    tm.tm_isdst = -1;
    return static_cast<int32_t>(std::mktime(&tm));
}

int set_rtc_time(int32_t t, const RtcDevices& devices) {
    UniqueFd fd = open_rtc(devices, true);
    if (!fd.valid()) return -1;
    const std::time_t when = t;
    std::tm tm{};
    ::localtime_r(&when, &tm);
    rtc_time rt{};
    rt.tm_sec = tm.tm_sec;
    rt.tm_min = tm.tm_min;
    rt.tm_hour = tm.tm_hour;
    rt.tm_mday = tm.tm_mday;
    rt.tm_mon = tm.tm_mon;
    rt.tm_year = tm.tm_year;
    rt.tm_wday = tm.tm_wday;
    rt.tm_yday = tm.tm_yday;
    rt.tm_isdst = 0;
    if (::ioctl(fd.get(), RTC_SET_TIME, &rt) != 0) {
        std::fprintf(stderr, "Could not set the RTC time: %s\n", std::strerror(errno));
    }
    // The clock device opens only once at a time: hwclock needs it closed.
    fd.reset();
    run_command({"hwclock", "-s"});
    return 0;
}

void rtc_datetime(uint8_t out[6], const RtcDevices& devices) {
    datetime_bytes(read_rtc_time(devices), out);
}

void datetime_bytes(std::time_t t, uint8_t out[6]) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    out[0] = static_cast<uint8_t>(tm.tm_sec);
    out[1] = static_cast<uint8_t>(tm.tm_min);
    out[2] = static_cast<uint8_t>(tm.tm_hour);
    out[3] = static_cast<uint8_t>(tm.tm_mday);
    out[4] = static_cast<uint8_t>(tm.tm_mon);
    out[5] = static_cast<uint8_t>(tm.tm_year);
}

int32_t elapsed_ms(const MsStamp& earlier, const MsStamp& later) {
    return static_cast<int32_t>((later.ms - earlier.ms) + 1000 * (later.sec - earlier.sec));
}

}  // namespace ovik
