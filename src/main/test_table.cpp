#include "main/test_table.h"

#include <iterator>

#include "plan/config.h"

namespace ovik {

namespace {

using Kind = TestKey::Kind;
constexpr Condition ALONE{"info:AloneBurn", true};
constexpr Condition NOT_ALONE{"info:AloneBurn", false};
constexpr Condition DETECTION{"wlan:Detection", true};
constexpr Condition NO_DETECTION{"wlan:Detection", false};
constexpr TestKey SERIAL_DEVICE{Kind::Text, "uart:MODEMDEVICE",
                                text_field<&Configuration::serial_device>};
constexpr TestKey PORT_COUNT_KEY{Kind::Ports, "uart:portnum"};

}  // namespace

// Adding a test: a row here, the check in its library. The rows that share an item fill one
// slot; a file that turns several of them on gets the last one's test.
std::vector<TestRow> agent_tests() {
    const TestRow rows[] = {
        {.key = "uart:TestSerial",
         .keys = {SERIAL_DEVICE,
                  PORT_COUNT_KEY,
                  {Kind::Integer, "uart:interface_mode", nullptr,
                   integer_field<&Configuration::interface_mode>, -1}},
         .check = [](Checks& c, const TestCall&) { return c.local.serial.testserial(); }},
        {.key = "uart:TestSerial2W",
         .keys = {SERIAL_DEVICE, PORT_COUNT_KEY},
         .check = [](Checks& c, const TestCall&) { return c.local.serial.testserial2W(); }},
        {.item = "LAN2",
         .key = "ethernet:TestLAN2",
         .when = {ALONE},
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN2Raw(); }},
        {.item = "LAN2",
         .key = "ethernet:TestLAN2",
         .when = {NOT_ALONE},
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN2Ping(); }},
        {.item = "LAN2",
         .key = "ethernet:TestLAN2_GigaLanLB",
         .apply = [](Configuration& c) { c.gigalanlb = 1; },
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN2Raw(); }},
        {.item = "LAN2",
         .key = "ethernet:TestLAN2_Ping",
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN2Ping(); }},
        {.item = "LAN3",
         .key = "ethernet:TestLAN3",
         .address = "eth2",
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN3Raw(); }},
        {.item = "LAN4",
         .key = "ethernet:TestLAN4",
         .address = "eth3",
         .check = [](Checks& c, const TestCall&) { return c.net.testLAN4Raw(); }},
        {.item = "exStorage",
         .key = "storage:Storage_merge",
         .empties = {"USB1", "mSATA", "SD"},
         .check = [](Checks& c, const TestCall&) { return c.local.storage.testStorageMerge(); }},
        {.item = "USB1",
         .key = "storage:TestUSB1",
         .keys = {{Kind::StorageName, "storage:USB1DEVICE",
                   text_field<&Configuration::usb1_device>}},
         .apply = [](Configuration& c) { c.storagemask += STORAGE_USB1; },
         .check = [](Checks& c, const TestCall&) { return c.local.storage.testUSB1(); }},
        {.item = "mSATA",
         .key = "storage:TestmSATA",
         .keys = {{Kind::MsataNode, MSATA_NODE_PATH, text_field<&Configuration::msata_device>}},
         .apply = [](Configuration& c) { c.storagemask += STORAGE_MSATA; },
         .check = [](Checks& c, const TestCall&) { return c.local.storage.testmSATA(); }},
        {.item = "SSD",
         .key = "storage:TestSSD",
         .check = [](Checks& c, const TestCall&) { return c.local.storage.testSSD(); }},
        {.item = "MEM",
         .key = "memory:TestMEM",
         .check = [](Checks&, const TestCall&) { return testMEM(); }},
        {.item = "SD",
         .key = "storage:TestSD",
         .keys = {{Kind::StorageName, "storage:SDDEVICE", text_field<&Configuration::sd_device>}},
         .apply = [](Configuration& c) { c.storagemask += STORAGE_SD; },
         .check = [](Checks& c, const TestCall&) { return c.local.storage.testSD(); }},
        {.item = "DIO",
         .key = "dio:TestDIO",
         .check = [](Checks& c, const TestCall&) { return testDIO(c.local.dio); }},
        {.item = "CAN",
         .key = "can:TestCAN",
         .devices = {"can0"},
         .check = [](Checks& c, const TestCall& call) { return c.net.testCAN(call.first); }},
        {.item = "CAN2",
         .key = "can:TestCAN2",
         .devices = {"can1"},
         .check = [](Checks& c, const TestCall& call) { return c.net.testCAN(call.first); }},
        {.item = "CAN0&CAN1",
         .key = "can:TestTwoCAN",
         .devices = {"can0", "can1"},
         .check = [](Checks& c,
                     const TestCall& call) { return c.net.testTwoCAN(call.first, call.second); }},
        {.item = "GPS",
         .key = "gps:TestGPS",
         .keys = {{Kind::Text, "gps:GPSDEVICE", text_field<&Configuration::gps_device>}},
         .check = [](Checks& c, const TestCall&) { return c.net.testGPS(); }},
        {.item = "Cellular",
         .key = "cellular:TestCELL",
         .keys = {{Kind::Text, "cellular:CELLDEVICE"}, {Kind::Interval, "cellular:INTERVAL"}},
         .check = [](Checks& c, const TestCall& call) { return c.net.testCELL_AT(call.first); }},
        {.item = "Cellular2",
         .key = "cellular:TestCELL2",
         .keys = {{Kind::Text, "cellular:CELLDEVICE2"}, {Kind::Interval, "cellular:INTERVAL2"}},
         .check = [](Checks& c, const TestCall& call) { return c.net.testCELL_AT(call.first); }},
        {.item = "Cellular3",
         .key = "cellular:TestCELL3",
         .keys = {{Kind::Text, "cellular:CELLDEVICE3"}, {Kind::Interval, "cellular:INTERVAL3"}},
         .check = [](Checks& c, const TestCall& call) { return c.net.testCELL_AT(call.first); }},
        {.item = "WLAN",
         .key = "wlan:TestWLAN",
         .when = {DETECTION},
         .check = [](Checks&, const TestCall&) { return testWLANDetect(); }},
        {.item = "WLAN",
         .key = "wlan:TestWLAN",
         .when = {NO_DETECTION, ALONE},
         .keys = {{Kind::Text, "wlan:APPIP_0", text_field<&Configuration::ap_address>},
                  {Kind::Text, "wlan:APPESSID_0", text_field<&Configuration::ap_essid>}},
         .check = [](Checks& c, const TestCall&) { return c.net.testWLANAlone(); }},
        {.item = "WLAN",
         .key = "wlan:TestWLAN",
         .when = {NO_DETECTION, NOT_ALONE},
         .check = [](Checks& c, const TestCall&) { return c.net.testWLANPair(); }},
        {.item = "TPM",
         .key = "tpm:TestTPM",
         .check = [](Checks&, const TestCall&) { return testTPM(); }},
        {.item = "TPM2",
         .key = "tpm:TestTPM2",
         .check = [](Checks&, const TestCall&) { return testTPM2(); }},
    };
    return {std::begin(rows), std::end(rows)};
}

}  // namespace ovik
