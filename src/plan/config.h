// The device model's configuration, cfg_ovikburn: which tests run, on which device nodes, and
// how the interfaces are prepared. Reading a file is one step without side effects besides
// the dump of the file: it yields what the file asks for, or the reason it cannot be used.
// The keys of the tests are the test table's (test_table.h); applying a file fills the
// configuration, the plan and the record's identity. Preparing the interfaces is start-up's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plan/testplan.h"

namespace ovik {

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
// the result record, which carries them to the PC; the modems' names into their slots.
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
    std::array<char, 20> ap_address{'1', '7', '2', '.', '1', '6', '.', '0', '.', '1'};
    DeviceName ap_essid{};
};

// What one file asks for, every key read and checked.
struct ConfigFile {
    // A row of the test table that the file turns on, with the values of its further keys.
    struct Choice {
        std::size_t row = 0;
        std::array<std::string, 3> texts;
        std::array<int32_t, 3> numbers{};
    };

    uint32_t softwareid = 0;
    uint32_t apid = 0;
    bool downloadfwr = false;
    std::vector<Choice> choices;       // in the table's order
    std::vector<const char*> on_keys;  // the table's keys that read as on

    // Whether the file turns the key on, for the keys of the test table.
    bool on(const char* key) const;
};

// A file read: what it asks for, or the lines that say why it cannot be used (the key and
// the reason, then "cannot parse file: PATH").
struct ConfigResult {
    std::optional<ConfigFile> file;
    std::string refusal;
};

// Reads the INI file at path (dumping it to standard output as it is read), against the
// plan's test table and the slots that earlier files filled.
ConfigResult read_config(const char* path, const TestPlan& current);

// Applies a file that was read: fills the configuration, the plan and the record's identity
// fields, on top of what earlier files set.
void apply_config(const ConfigFile& file, Configuration& config, TestPlan& testplan,
                  TestResult& record);

}  // namespace ovik
