#include <fcntl.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdio>

#include "base/clock.h"
#include "base/console.h"
#include "base/unique_fd.h"
#include "checks/local/local_checks.h"

namespace ovik {
namespace {

// The record both requests pass by address: two native 32-bit words.
struct DioRecord {
    uint32_t channel;
    uint32_t value;
};

int dio_request(unsigned long request, DioRecord& record) {
    sleep_ms(100);
    const UniqueFd fd(::open(DIO_DEVICE, O_RDWR | O_CLOEXEC));
    if (!fd.valid()) return -1;
    // Drivers may answer a request with the input level or another count: only -1 fails.
    if (::ioctl(fd.get(), request, &record) == -1) return -1;
    sleep_ms(100);
    return 0;
}

}  // namespace

int DioLibrary::check_args(int32_t channel) const {
    if (!dio_initialised) return -3;
    if (channel < 0 || channel >= DIO_CHANNELS) return -2;
    return 0;
}

int dio_ioctl_set(int32_t channel, uint32_t value) {
    DioRecord record{static_cast<uint32_t>(channel), value};
    return dio_request(DIO_SET_DOUT, record);
}

int dio_ioctl_get(int32_t channel, uint32_t* value) {
    DioRecord record{static_cast<uint32_t>(channel), 0};
    if (dio_request(DIO_GET_DIN, record) != 0) return -1;
    *value = record.value;
    return 0;
}

int DioLibrary::dio_init(int /*unused*/) {
    if (dio_initialised) return 0;
    for (int i = 0; i < DIO_CHANNELS; ++i) channel_table[static_cast<std::size_t>(i)].number = i;
    dio_initialised = true;
    return 0;
}

int DioLibrary::dio_set_dout(int32_t channel, uint32_t value) {
    if (const int rc = check_args(channel); rc != 0) return rc;
    if (value != 0 && value != 1) return -2;
    return dio_ioctl_set(channel, value);
}

int DioLibrary::dio_get_din(int32_t channel, uint32_t* value) {
    if (const int rc = check_args(channel); rc != 0) return rc;
    return dio_ioctl_get(channel, value);
}

int testDIO(DioLibrary& dio) {
    if (dio.dio_init(0) != 0) {
        std::printf("Initialize Ovik dio control library failed\n");
        return -1;
    }
    for (const uint32_t level : {0u, 1u}) {
        for (int32_t ch = 0; ch < DIO_CHANNELS; ++ch) {
            dio.dio_set_dout(ch, level);
            sleep_ms(100);
        }
        for (int32_t ch = 0; ch < DIO_CHANNELS; ++ch) {
            uint32_t din = 0;
            if (dio.dio_get_din(ch, &din) != 0) {
                std::printf("Failed to get DIN state\n");
                return -1;
            }
            if (din != level) {
                std::printf(level == 0 ? "DI != 0\n" : "DI != 1\n");
                return -1;
            }
        }
    }
    say_framed("PASS : %s", "testDIO");
    return 0;
}

}  // namespace ovik
