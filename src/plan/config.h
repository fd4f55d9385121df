// The device model's configuration, cfg_ovikburn: which tests run, on which device nodes, and
// how the interfaces are prepared. Reading a file is one step without side effects besides
// the dump of the file: it yields what the file asks for, or the reason it cannot be used.
// Applying it fills the configuration and the plan; preparing the interfaces is start-up's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plan/catalogue.h"
#include "plan/testplan.h"

namespace ovik {

inline constexpr std::size_t DEVICE_NAME_SIZE = 16;
using DeviceName = std::array<char, DEVICE_NAME_SIZE>;

// Storage device names become "/media/NAME" mount points, which must stay within 15 characters.
inline constexpr std::size_t STORAGE_NAME_MAX = 8;
inline constexpr uint16_t SERIAL_PORT_MAX = 64;
inline constexpr const char* MSATA_NODE_PATH = "/dev/shm/mSATA_node";

// storagemask bits
inline constexpr uint32_t STORAGE_USB1 = 1;
inline constexpr uint32_t STORAGE_MSATA = 2;
inline constexpr uint32_t STORAGE_SD = 4;

// The configuration fields, written when a file is applied and read-only during the run.
// The device's identity (software id, AP id) and the number of serial ports go straight into
// the result record, which carries them to the PC.
struct Configuration {
    uint32_t downloadfwr = 0;  // a firmware download is expected after a passed run
    uint32_t gigalanlb = 0;    // eth1's PHY is in loop-back and must be restored at the end
    DeviceName serial_device{};
    int32_t interface_mode = -1;
    DeviceName usb1_device{};
    DeviceName sd_device{};
    DeviceName msata_device{};
    uint32_t storagemask = 0;
    DeviceName gps_device{};
    std::array<DeviceName, 3> modem_device{};
    std::array<char, 20> ap_address{'1', '7', '2', '.', '1', '6', '.', '0', '.', '1'};
    DeviceName ap_essid{};
};

// What one file asks for, every key read and checked.
struct ConfigFile {
    struct Cellular {
        bool on = false;
        std::string device;
        int32_t interval = 0;
    };
    // A slot the file fills, with the function it gets from the catalogue.
    struct SlotChoice {
        Slot slot;
        const char* key;
        TestFn func = nullptr;
        TestFnOnDevice on_device = nullptr;
        TestFnOnPair on_pair = nullptr;
    };

    uint32_t softwareid = 0;
    uint32_t apid = 0;
    bool downloadfwr = false;
    bool serial = false;
    bool serial2w = false;
    std::string serial_device;
    int32_t portnum = -1;
    int32_t interface_mode = -1;
    bool lan2 = false;
    bool alone = false;
    bool lan2_gigalb = false;
    bool lan2_ping = false;
    bool lan3 = false;
    bool lan4 = false;
    bool dio = false;
    bool usb1 = false;
    std::string usb1_device;
    bool msata = false;
    std::string msata_device;
    bool ssd = false;
    bool sd = false;
    std::string sd_device;
    bool merge = false;
    bool gps = false;
    std::string gps_device;
    std::array<Cellular, 3> cellular;
    bool wlan = false;
    bool detection = false;
    std::string ap_address;
    std::string ap_essid;
    bool tpm = false;
    bool tpm2 = false;
    bool mem = false;
    bool can = false;
    bool can2 = false;
    bool twocan = false;
    std::vector<SlotChoice> choices;

    // The Wi-Fi set-ups the file asks for.
    bool joins_access_point() const { return wlan && !detection && alone; }
    bool pairs_wifi() const { return wlan && !detection && !alone; }
};

// A file read: what it asks for, or the lines that say why it cannot be used (the key and
// the reason, then "cannot parse file: PATH").
struct ConfigResult {
    std::optional<ConfigFile> file;
    std::string refusal;
};

// Reads the INI file at path (dumping it to standard output as it is read), against the
// functions this build has and the slots that earlier files filled.
ConfigResult read_config(const char* path, const TestCatalogue& catalogue, const TestPlan& current);

// Applies a file that was read: fills the configuration, the plan and the record's identity
// fields, on top of what earlier files set.
void apply_config(const ConfigFile& file, Configuration& config, TestPlan& testplan,
                  TestResult& record);

}  // namespace ovik
