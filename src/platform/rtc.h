// The hardware clock: burn time is measured with it and it is set from the PC's clock at the
// start of a run. It is read and written as local time.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/clock.h"

namespace ovik {

struct RtcDevices {
    const char* primary = "/dev/rtc0";
    const char* fallback = "/dev/misc/rtc";
};

// Seconds since the epoch from the hardware clock, or -1 when no clock device opens or the
// clock cannot be read.
int32_t read_rtc_time(const RtcDevices& devices = RtcDevices{});

// Sets the hardware clock to t and reloads the system clock from it ("hwclock -s").
// 0, or -1 when no clock device opens.
int set_rtc_time(int32_t t, const RtcDevices& devices = RtcDevices{});

// Broken-down local time of the hardware clock now, for the record's date and time bytes.
void rtc_datetime(uint8_t out[6], const RtcDevices& devices = RtcDevices{});

// The record's date and time bytes of a clock reading t: seconds, minutes, hours, day of month,
// month (0-11), year - 1900, of the local time.
void datetime_bytes(std::time_t t, uint8_t out[6]);

// later - earlier in milliseconds.
int32_t elapsed_ms(const MsStamp& earlier, const MsStamp& later);

}  // namespace ovik
