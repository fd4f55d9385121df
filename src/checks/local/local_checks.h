// checks/local: the device's own interfaces: storage media, memory, TPM, digital I/O and
// serial ports. Each test follows the test function contract of the test plan.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "plan/catalogue.h"

namespace ovik {

// Puts this library's tests into the catalogue the configuration loader uses.
void register_local_tests(TestCatalogue& c);

// Storage
int check_mounted(const char* device, const char* mount_point);
// The same over a mount table in the format of /proc/mounts: 0 when a line names the device
// and the mount point as its first two fields, -1 otherwise.
int find_mount_line(std::FILE* mounts, const char* device, const char* mount_point);
int createTestFileOnExternalStorage(const char* device, const char* mount_point);
int CompareTestFile(const char* path);
int compare_mptest(const char* device, const char* mount_point);
int random_testing(const char* path);
int testSSD();
int testUSB1();
int testmSATA();
int testSD();
int testStorageMerge();
// Each medium is mounted by its test's first call and only looked at after that; this
// forgets those mounts, so that the next calls start over as at start-up.
void forget_mounted_media();

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
int dio_init(int unused);
int dio_set_dout(int32_t channel, uint32_t value);
int dio_get_din(int32_t channel, uint32_t* value);
int dio_ioctl_set(int32_t channel, uint32_t value);
int dio_ioctl_get(int32_t channel, uint32_t* value);
int testDIO();

// Serial ports
inline constexpr std::size_t SERIAL_BUF_SIZE = 128;
inline constexpr std::size_t SERIAL_PORTS = 64;
// Receive buffers shared by the serial tests and, as scratch, the network tests.
extern uint8_t rbuf[SERIAL_PORTS][SERIAL_BUF_SIZE];
// The termios speed constant for a rate, or -1 for a rate outside the table.
long baudrate_to_speed(uint32_t rate);
int testserial();
int testserial2W();

}  // namespace ovik
