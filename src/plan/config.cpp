#include "plan/config.h"

#include <iniparser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/text.h"
#include "base/unique_fd.h"

namespace ovik {

namespace {

struct DictionaryFree {
    void operator()(dictionary* d) const { iniparser_freedict(d); }
};
using Dictionary = std::unique_ptr<dictionary, DictionaryFree>;

// A configuration the agent cannot run safely; the text names the key and the reason.
struct Refusal {
    std::string reason;
};

class Reader {
  public:
    explicit Reader(dictionary* d) : d_(d) {}

    bool on(const char* key) const { return iniparser_getboolean(d_, key, 0) == 1; }

    int32_t integer(const char* key, int32_t absent) const {
        return iniparser_getint(d_, key, absent);
    }

    // Hexadecimal text, "0x" allowed; conversion stops at the first non-hex character.
    std::optional<uint32_t> hex(const char* key) {
        const char* text = iniparser_getstring(d_, key, nullptr);
        if (text == nullptr) {
            refuse(std::string(key) + ": required key is missing");
            return std::nullopt;
        }
        return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    }

    // A required text that must fit max characters.
    std::string text(const char* key, std::size_t max) {
        const char* value = iniparser_getstring(d_, key, nullptr);
        if (value == nullptr) {
            refuse(std::string(key) + ": required key is missing");
            return {};
        }
        if (std::strlen(value) > max) {
            refuse(std::string(key) + ": value '" + value + "' is longer than " +
                   std::to_string(max) + " characters");
        }
        return value;
    }

    void refuse(std::string reason) {
        if (!refusal_) refusal_ = Refusal{std::move(reason)};
    }
    const std::optional<Refusal>& refusal() const { return refusal_; }

  private:
    dictionary* d_;
    std::optional<Refusal> refusal_;
};

// The mSATA node as a line reader with a 16-byte buffer reads it; "sda" without the file.
std::string read_msata_node() {
    UniqueFile f(std::fopen(MSATA_NODE_PATH, "r"));
    if (!f) return "sda";
    char line[DEVICE_NAME_SIZE] = {};
    if (std::fgets(line, sizeof line, f.get()) == nullptr) return "";
    return line;
}

void check_storage_name(Reader& r, const char* key, const std::string& name) {
    if (name.size() > STORAGE_NAME_MAX) {
        r.refuse(std::string(key) + ": device name '" + name + "' is longer than " +
                 std::to_string(STORAGE_NAME_MAX) + " characters (its mount point is /media/NAME)");
    }
}

void read_values(Reader& r, ConfigFile& v) {
    v.softwareid = r.hex("info:SOFTWARE_ID").value_or(0);
    v.apid = r.hex("info:AP_ID").value_or(0);
    v.downloadfwr = r.on("info:DownloadFWR");

    v.serial = r.on("uart:TestSerial");
    v.serial2w = r.on("uart:TestSerial2W");
    if (v.serial || v.serial2w) {
        const char* which = v.serial ? "uart:TestSerial" : "uart:TestSerial2W";
        v.serial_device = r.text("uart:MODEMDEVICE", DEVICE_NAME_SIZE - 1);
        v.portnum = r.integer("uart:portnum", -1);
        if (v.portnum < 0 || v.portnum > SERIAL_PORT_MAX) {
            r.refuse(std::string("uart:portnum: ") +
                     (v.portnum == -1 ? std::string("missing")
                                      : "value " + std::to_string(v.portnum) + " out of range") +
                     " while " + which + " is on; give the number of ports, 0 to " +
                     std::to_string(SERIAL_PORT_MAX));
        }
        if (v.serial) v.interface_mode = r.integer("uart:interface_mode", -1);
    }

    v.lan2 = r.on("ethernet:TestLAN2");
    v.alone = r.on("info:AloneBurn");
    v.lan2_gigalb = r.on("ethernet:TestLAN2_GigaLanLB");
    v.lan2_ping = r.on("ethernet:TestLAN2_Ping");
    v.lan3 = r.on("ethernet:TestLAN3");
    v.lan4 = r.on("ethernet:TestLAN4");
    v.dio = r.on("dio:TestDIO");

    v.usb1 = r.on("storage:TestUSB1");
    if (v.usb1) {
        v.usb1_device = r.text("storage:USB1DEVICE", DEVICE_NAME_SIZE - 1);
        check_storage_name(r, "storage:USB1DEVICE", v.usb1_device);
    }
    v.msata = r.on("storage:TestmSATA");
    if (v.msata) {
        v.msata_device = read_msata_node();
        check_storage_name(r, MSATA_NODE_PATH, v.msata_device);
    }
    v.ssd = r.on("storage:TestSSD");
    v.sd = r.on("storage:TestSD");
    if (v.sd) {
        v.sd_device = r.text("storage:SDDEVICE", DEVICE_NAME_SIZE - 1);
        check_storage_name(r, "storage:SDDEVICE", v.sd_device);
    }
    v.merge = r.on("storage:Storage_merge");

    v.gps = r.on("gps:TestGPS");
    if (v.gps) v.gps_device = r.text("gps:GPSDEVICE", DEVICE_NAME_SIZE - 1);

    for (std::size_t k = 0; k < 3; ++k) {
        // "cellular:TestCELL", "cellular:TestCELL2", ... and their device and interval keys.
        const std::string n = k == 0 ? "" : std::to_string(k + 1);
        ConfigFile::Cellular& c = v.cellular[k];
        c.on = r.on(("cellular:TestCELL" + n).c_str());
        if (!c.on) continue;
        c.device = r.text(("cellular:CELLDEVICE" + n).c_str(), DEVICE_NAME_SIZE - 1);
        c.interval = r.integer(("cellular:INTERVAL" + n).c_str(), 0);
    }

    v.wlan = r.on("wlan:TestWLAN");
    v.detection = r.on("wlan:Detection");
    if (v.wlan && !v.detection && v.alone) {
        v.ap_address = r.text("wlan:APPIP_0", Configuration{}.ap_address.size() - 1);
        v.ap_essid = r.text("wlan:APPESSID_0", DEVICE_NAME_SIZE - 1);
    }
    v.tpm = r.on("tpm:TestTPM");
    v.tpm2 = r.on("tpm:TestTPM2");
    v.mem = r.on("memory:TestMEM");
    v.can = r.on("can:TestCAN");
    v.can2 = r.on("can:TestCAN2");
    v.twocan = r.on("can:TestTwoCAN");
}

using SlotChoice = ConfigFile::SlotChoice;

// The slots the file fills, with the function each gets from what this build has.
std::vector<SlotChoice> slot_choices(const ConfigFile& v, const TestCatalogue& c) {
    std::vector<SlotChoice> s;
    if (v.serial) s.push_back({Slot::Serial, "uart:TestSerial", c.testserial});
    if (v.serial2w) s.push_back({Slot::Serial2W, "uart:TestSerial2W", c.testserial2W});
    if (v.lan2) {
        s.push_back({Slot::LAN2, "ethernet:TestLAN2", v.alone ? c.testLAN2Raw : c.testLAN2Ping});
    }
    if (v.lan2_gigalb) s.push_back({Slot::LAN2, "ethernet:TestLAN2_GigaLanLB", c.testLAN2Raw});
    if (v.lan2_ping) s.push_back({Slot::LAN2, "ethernet:TestLAN2_Ping", c.testLAN2Ping});
    if (v.lan3) s.push_back({Slot::LAN3, "ethernet:TestLAN3", c.testLAN3Raw});
    if (v.lan4) s.push_back({Slot::LAN4, "ethernet:TestLAN4", c.testLAN4Raw});
    if (v.dio) s.push_back({Slot::DIO, "dio:TestDIO", c.testDIO});
    if (v.usb1) s.push_back({Slot::USB1, "storage:TestUSB1", c.testUSB1});
    if (v.msata) s.push_back({Slot::MSATA, "storage:TestmSATA", c.testmSATA});
    if (v.ssd) s.push_back({Slot::SSD, "storage:TestSSD", c.testSSD});
    if (v.sd) s.push_back({Slot::SD, "storage:TestSD", c.testSD});
    if (v.merge) s.push_back({Slot::ExStorage, "storage:Storage_merge", c.testStorageMerge});
    if (v.gps) s.push_back({Slot::GPS, "gps:TestGPS", c.testGPS});
    const Slot cell_slots[3] = {Slot::Cellular, Slot::Cellular2, Slot::Cellular3};
    const char* cell_keys[3] = {"cellular:TestCELL", "cellular:TestCELL2", "cellular:TestCELL3"};
    for (std::size_t k = 0; k < 3; ++k) {
        if (v.cellular[k].on) s.push_back({cell_slots[k], cell_keys[k], nullptr, c.testCELL_AT});
    }
    if (v.wlan) {
        const TestFn f = v.detection ? c.testWLANDetect
                         : v.alone   ? c.testWLANAlone
                                     : c.testWLANPair;
        s.push_back({Slot::WLAN, "wlan:TestWLAN", f});
    }
    if (v.tpm) s.push_back({Slot::TPM, "tpm:TestTPM", c.testTPM});
    if (v.tpm2) s.push_back({Slot::TPM2, "tpm:TestTPM2", c.testTPM2});
    if (v.mem) s.push_back({Slot::MEM, "memory:TestMEM", c.testMEM});
    if (v.can) s.push_back({Slot::CAN, "can:TestCAN", nullptr, c.testCAN});
    if (v.can2) s.push_back({Slot::CAN2, "can:TestCAN2", nullptr, c.testCAN});
    if (v.twocan) s.push_back({Slot::CAN0CAN1, "can:TestTwoCAN", nullptr, nullptr, c.testTwoCAN});
    return s;
}

void check_plan(Reader& r, const ConfigFile& v, const TestPlan& current) {
    const std::vector<SlotChoice>& choices = v.choices;
    for (const auto& c : choices) {
        if (c.func == nullptr && c.on_device == nullptr && c.on_pair == nullptr) {
            r.refuse(std::string(c.key) + ": this build of ovikburn has no such test; turn it off");
            return;
        }
    }
    // The item table holds 8 entries: count the numbered slots the plan would then hold.
    std::array<bool, SLOT_COUNT> filled{};
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) filled[i] = current[i].filled();
    for (const auto& c : choices) filled[static_cast<std::size_t>(c.slot)] = true;
    if (v.merge) {
        filled[static_cast<std::size_t>(Slot::USB1)] = false;
        filled[static_cast<std::size_t>(Slot::MSATA)] = false;
        filled[static_cast<std::size_t>(Slot::SD)] = false;
    }
    std::string names;
    std::size_t count = 0;
    for (std::size_t i = 0; i < SLOT_COUNT; ++i) {
        if (!filled[i] || !current[i].numbered()) continue;
        names += (count++ == 0 ? "" : ", ");
        names += current[i].name;
    }
    if (count > wire::ITEM_COUNT) {
        r.refuse("too many tests: " + std::to_string(count) + " numbered test items (" + names +
                 ") but the result record holds " + std::to_string(wire::ITEM_COUNT) +
                 "; turn some of them off");
    }
}

// Gives the slot the test its step chose; key names the step when several fill one slot.
void put(TestPlan& plan, Slot s, const std::vector<SlotChoice>& choices,
         const char* key = nullptr) {
    for (const auto& c : choices) {
        if (c.slot != s || (key != nullptr && std::strcmp(c.key, key) != 0)) continue;
        TestSlot& t = plan.slot(s);
        t.func = c.func;
        t.func_on_device = c.on_device;
        t.func_on_pair = c.on_pair;
    }
}

}  // namespace

ConfigResult read_config(const char* path, const TestCatalogue& catalogue,
                         const TestPlan& current) {
    Dictionary ini(iniparser_load(path));
    if (!ini) return {std::nullopt, std::string("cannot parse file: ") + path + "\n"};
    iniparser_dump(ini.get(), stdout);

    Reader reader(ini.get());
    ConfigFile file;
    read_values(reader, file);
    file.choices = slot_choices(file, catalogue);
    check_plan(reader, file, current);
    if (reader.refusal()) {
        return {std::nullopt,
                reader.refusal()->reason + "\ncannot parse file: " + std::string(path) + "\n"};
    }
    return {std::move(file), {}};
}

void apply_config(const ConfigFile& v, Configuration& config, TestPlan& plan, TestResult& record) {
    const auto& choices = v.choices;
    record.softwareid = static_cast<uint16_t>(v.softwareid & 0xFFFF);
    record.apid = v.apid;
    config.downloadfwr = v.downloadfwr ? 1 : 0;

    if (v.serial) {
        put(plan, Slot::Serial, choices);
        config.interface_mode = v.interface_mode;
    }
    if (v.serial2w) put(plan, Slot::Serial2W, choices);
    if (v.serial || v.serial2w) {
        copy_text(config.serial_device, v.serial_device);
        record.portnum = static_cast<uint16_t>(v.portnum);
    }
    if (v.lan2) put(plan, Slot::LAN2, choices, "ethernet:TestLAN2");
    if (v.lan2_gigalb) {
        put(plan, Slot::LAN2, choices, "ethernet:TestLAN2_GigaLanLB");
        config.gigalanlb = 1;
    }
    if (v.lan2_ping) put(plan, Slot::LAN2, choices, "ethernet:TestLAN2_Ping");
    if (v.lan3) put(plan, Slot::LAN3, choices);
    if (v.lan4) put(plan, Slot::LAN4, choices);
    if (v.dio) put(plan, Slot::DIO, choices);
    if (v.usb1) {
        copy_text(config.usb1_device, v.usb1_device);
        put(plan, Slot::USB1, choices);
        config.storagemask += STORAGE_USB1;
    }
    if (v.msata) {
        copy_text(config.msata_device, v.msata_device);
        put(plan, Slot::MSATA, choices);
        config.storagemask += STORAGE_MSATA;
    }
    if (v.ssd) put(plan, Slot::SSD, choices);
    if (v.sd) {
        copy_text(config.sd_device, v.sd_device);
        put(plan, Slot::SD, choices);
        config.storagemask += STORAGE_SD;
    }
    if (v.merge) {
        put(plan, Slot::ExStorage, choices);
        plan.slot(Slot::USB1).clear();
        plan.slot(Slot::MSATA).clear();
        plan.slot(Slot::SD).clear();
    }
    if (v.gps) {
        put(plan, Slot::GPS, choices);
        copy_text(config.gps_device, v.gps_device);
    }
    const Slot cell_slots[3] = {Slot::Cellular, Slot::Cellular2, Slot::Cellular3};
    for (std::size_t k = 0; k < 3; ++k) {
        if (!v.cellular[k].on) continue;
        put(plan, cell_slots[k], choices);
        copy_text(config.modem_device[k], v.cellular[k].device);
        plan.slot(cell_slots[k]).interval = v.cellular[k].interval;
        plan.slot(cell_slots[k]).countdown = v.cellular[k].interval;
    }
    if (v.wlan) {
        put(plan, Slot::WLAN, choices);
        if (v.joins_access_point()) {
            copy_text(config.ap_address, v.ap_address);
            copy_text(config.ap_essid, v.ap_essid);
        }
    }
    if (v.tpm) put(plan, Slot::TPM, choices);
    if (v.tpm2) put(plan, Slot::TPM2, choices);
    if (v.mem) put(plan, Slot::MEM, choices);
    if (v.can) put(plan, Slot::CAN, choices);
    if (v.can2) put(plan, Slot::CAN2, choices);
    if (v.twocan) put(plan, Slot::CAN0CAN1, choices);
}

}  // namespace ovik
