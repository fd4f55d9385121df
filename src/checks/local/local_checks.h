// checks/local: the device's own interfaces: storage media, memory, TPM, digital I/O and
// serial ports. Each test follows the test function contract of the test plan; the objects
// here hold what a test keeps between its calls.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "plan/check_context.h"

namespace ovik {

// Storage
// 0 when a line of the mount table (the format of /proc/mounts) names the device and the
// mount point as its first two fields, -1 otherwise.
int find_mount_line(std::FILE* mounts, const char* device, const char* mount_point);

class StorageChecks {
  public:
    explicit StorageChecks(const CheckContext& ctx) : ctx_(ctx) {}

    int check_mounted(const char* device, const char* mount_point);
    int createTestFileOnExternalStorage(const char* device, const char* mount_point);
    int CompareTestFile(const char* path);
    int compare_mptest(const char* device, const char* mount_point);
    int random_testing(const char* path);
    int testSSD();
    int testUSB1();
    int testmSATA();
    int testSD();
    int testStorageMerge();

  private:
    struct Medium;
    int write_checked_medium(const Medium& m, const DeviceName& device_name, bool& mounted);

    CheckContext ctx_;
    // Set after the first successful mount step; a medium is never looked at again after that.
    bool ssd_mounted = false;
    bool usb1_mounted = false;
    bool msata_mounted = false;
    bool sd_mounted = false;
    std::array<uint8_t, 4096> written{};
    std::array<uint8_t, 4096> back{};
};

// Memory
int testMEM();

// TPM
inline constexpr const char* TPM_RESULT_PATH = "/dev/shm/tpm_ver";
int testTPM();
int testTPM2();
[[noreturn]] void tpm2_probe_loop();

// Owner of the TPM2 self-test child process: forked at start-up, it lives as long as the agent.
class Tpm2Prober {
  public:
    Tpm2Prober() = default;
    Tpm2Prober(const Tpm2Prober&) = delete;
    Tpm2Prober& operator=(const Tpm2Prober&) = delete;
    ~Tpm2Prober();
    // Forks the child; false when the fork fails.
    bool start();

  private:
    pid_t pid_ = -1;
};

// Digital I/O control library and test
inline constexpr const char* DIO_DEVICE = "/dev/dio";
inline constexpr unsigned long DIO_SET_DOUT = 15;
inline constexpr unsigned long DIO_GET_DIN = 17;
inline constexpr int DIO_CHANNELS = 4;
int dio_ioctl_set(int32_t channel, uint32_t value);
int dio_ioctl_get(int32_t channel, uint32_t* value);

class DioLibrary {
  public:
    // 0, or -1 when the channel table cannot be made.
    int dio_init(int unused);
    // 0, -1 when the driver refuses, -2 for a bad channel or value, -3 before dio_init.
    int dio_set_dout(int32_t channel, uint32_t value);
    int dio_get_din(int32_t channel, uint32_t* value);

  private:
    struct DioChannel {
        int32_t number = 0;
        uint32_t value = 0;
    };
    int check_args(int32_t channel) const;

    bool dio_initialised = false;
    std::array<DioChannel, DIO_CHANNELS> channel_table{};
};
int testDIO(DioLibrary& dio);

// Serial ports
inline constexpr std::size_t SERIAL_BUF_SIZE = 128;
inline constexpr std::size_t SERIAL_PORTS = 64;
// The termios speed constant for a rate, or -1 for a rate outside the table.
long baudrate_to_speed(uint32_t rate);

class SerialChecks {
  public:
    explicit SerialChecks(const CheckContext& ctx) : ctx_(ctx) {}
    int testserial();
    int testserial2W();
    // What port n received in the last call.
    const uint8_t* received(int n) const { return rbuf[n]; }

  private:
    bool loopback_port(int n);
    bool pattern_matches(const char* test, int n, int site_port, int site_byte);
    void count_port_failure(int n);
    void print_received(int n);
    uint16_t tested_ports() const;

    CheckContext ctx_;
    uint8_t rbuf[SERIAL_PORTS][SERIAL_BUF_SIZE] = {};
    uint8_t wbuf[SERIAL_BUF_SIZE] = {};
};

// Everything this library keeps between test calls, in one object for main.
struct LocalChecks {
    explicit LocalChecks(const CheckContext& ctx) : storage(ctx), serial(ctx) {}
    StorageChecks storage;
    SerialChecks serial;
    DioLibrary dio;
};

}  // namespace ovik
