#include "wire/frames.h"

#include <gtest/gtest.h>

namespace ovik::wire {
namespace {

std::vector<uint8_t> bytes_at(const auto& frame, std::size_t off, std::size_t n) {
    return std::vector<uint8_t>(frame.begin() + static_cast<long>(off),
                                frame.begin() + static_cast<long>(off + n));
}

TEST(CommandFrame, StartCommandWorkedBytes) {
    CommandFrame f;
    f.cmd = CMD_START;
    f.ser = 2;
    f.baud = 115200;
    f.time = 1700000000;
    CommandBytes b = encode_command(f);
    const std::vector<uint8_t> expected{0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00,
                                        0x01, 0xC2, 0x00, 0x65, 0x53, 0xF1, 0x00};
    EXPECT_EQ(bytes_at(b, 0, 14), expected);
    for (std::size_t i = 14; i < b.size(); ++i) EXPECT_EQ(b[i], 0) << "byte " << i;
    b[127] = 0x5A;  // reserved bytes survive a round trip
    EXPECT_EQ(encode_command(decode_command(b)), b);
}

TEST(CommandFrame, FirmwareNameFillsTheWholeFieldWithoutTerminator) {
    std::array<char, FWR_SIZE> fwr{};
    EXPECT_TRUE(set_fwr(fwr, "0123456789abcdef"));
    EXPECT_EQ(fwr_text(fwr), "0123456789abcdef");
    EXPECT_FALSE(set_fwr(fwr, "0123456789abcdefg"));
    EXPECT_FALSE(set_fwr(fwr, std::string("a\0b", 3)));
}

TEST(ResponseFrame, AckWorkedBytes) {
    ResponseFrame f;
    f.code = ACK_BIT | CMD_START;
    f.ser = 3;
    f.serial = 1234;
    f.status = STATUS_RUNNING;
    const ResponseBytes b = encode_response(f);
    EXPECT_EQ(bytes_at(b, 0, 8),
              (std::vector<uint8_t>{0x80, 0x04, 0x00, 0x03, 0x00, 0x00, 0x04, 0xD2}));
    EXPECT_EQ(bytes_at(b, 18, 2), (std::vector<uint8_t>{0x00, 0x01}));
    EXPECT_EQ(bytes_at(b, 20, 2), (std::vector<uint8_t>{0x00, 0x00}));
}

TEST(ResponseFrame, EveryFieldAtItsOffset) {
    ResponseFrame f;
    f.code = 0xC000;
    f.ser = 0x0102;
    f.serial = 0x03040506;
    f.ip = {192, 180, 5, 222};
    f.softwareid = 0x2B3C;
    f.apid = 0x00000105;
    f.status = 0x0100;
    f.error = 6;
    f.burntime = 0x0A0B0C0D;
    f.cycles = 0x11121314;
    f.diagsent = 0x21222324;
    f.diagrecv = 0x31323334;
    f.datetime = {1, 2, 3, 4, 5, 124};
    f.portnum = 0x0040;
    f.portfail[0] = 0x41424344;
    f.portfail[63] = 0x51525354;
    f.item[0].name = {'L', 'A', 'N', '2'};
    f.item[0].fail = 0x61626364;
    f.item[7].name = {'C', 'A', 'N', '0', '&', 'C', 'A', 'N', '1'};
    f.item[7].fail = 0x71727374;
    f.wlan_ping_sent = 0x81828384;
    f.wlan_ping_recv = 0x91929394;
    f.wlan_signal = 70;
    f.wlan_bitrate = 54;
    f.wlan0_ssid = {'A', 'P', '1', '\n'};
    f.wlan0_channel = {'6', '\n'};
    f.wlan1_ssid = {'B'};
    f.wlan1_channel = {'1', '1'};
    const ResponseBytes b = encode_response(f);

    struct Expect {
        std::size_t off;
        std::vector<uint8_t> bytes;
    };
    const Expect table[] = {
        {0, {0xC0, 0x00}},
        {2, {0x01, 0x02}},
        {4, {0x03, 0x04, 0x05, 0x06}},
        {8, {192, 180, 5, 222}},
        {12, {0x2B, 0x3C}},
        {14, {0x00, 0x00, 0x01, 0x05}},
        {18, {0x01, 0x00}},
        {20, {0x00, 0x06}},
        {22, {0x0A, 0x0B, 0x0C, 0x0D}},
        {26, {0, 0, 0, 0}},
        {30, {0x11, 0x12, 0x13, 0x14}},
        {34, {0x21, 0x22, 0x23, 0x24}},
        {38, {0x31, 0x32, 0x33, 0x34}},
        {42, {1, 2, 3, 4, 5, 124}},
        {48, {0, 0, 0}},
        {51, {0x00, 0x40}},
        {53, {0x41, 0x42, 0x43, 0x44}},
        {53 + 63 * 4, {0x51, 0x52, 0x53, 0x54}},
        {309, {'L', 'A', 'N', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0x61, 0x62, 0x63, 0x64}},
        {309 + 7 * 16,
         {'C', 'A', 'N', '0', '&', 'C', 'A', 'N', '1', 0, 0, 0, 0x71, 0x72, 0x73, 0x74}},
        {437, {0x81, 0x82, 0x83, 0x84}},
        {441, {0x91, 0x92, 0x93, 0x94}},
        {445, {70, 54}},
        {447, {'A', 'P', '1', '\n', 0}},
        {460, {'6', '\n', 0}},
        {465, {'B', 0}},
        {478, {'1', '1', 0}},
    };
    for (const auto& e : table) {
        EXPECT_EQ(bytes_at(b, e.off, e.bytes.size()), e.bytes) << "offset " << e.off;
    }
    for (std::size_t i = 483; i < 512; ++i) EXPECT_EQ(b[i], 0) << "tail byte " << i;

    const ResponseFrame back = decode_response(b);
    EXPECT_EQ(encode_response(back), b) << "decode is the inverse of encode";
    EXPECT_EQ(field_text(back.item[7].name), "CAN0&CAN1");
    EXPECT_EQ(ip_text(back.ip), "192.180.5.222");
}

}  // namespace
}  // namespace ovik::wire
