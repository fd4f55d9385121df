#include <gtest/gtest.h>

#include <fstream>
#include "base/console.h"

#include "fake_clock.h"
#include "hostlink/hostlink.h"
#include "private_mounts.h"
#include "temp_dir.h"
#include "plan/config.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

using namespace wire;
using testsupport::FakeClock;
using testsupport::TempDir;

class FakePlatform final : public RunPlatform {
  public:
    int32_t clock_value = 5000;
    int set_result = 0;
    std::vector<int32_t> clock_writes;
    int downloads = 0;

    int32_t read_clock() override { return clock_value; }
    int set_clock(int32_t t) override {
        clock_writes.push_back(t);
        return set_result;
    }
    void fill_time(uint8_t datetime[6]) override { std::fill(datetime, datetime + 6, 0); }
    void start_download() override { ++downloads; }
};

class RunControl : public ::testing::Test {
  protected:
    void SetUp() override {
        quiet.store(1);
        testresult.clear();
        testfail.store(0);
        teststop.store(0);
        config = Configuration{};
        serial_baud.store(115200);
        download_request.store(0);
        link = LinkState{};
        platform.downloads = 0;
        platform.clock_writes.clear();
    }
    void TearDown() override { quiet.store(0); }

    Reply send(uint16_t cmd, uint16_t ser, uint32_t baud = 0, uint16_t fail = 0,
               const char* fwr = "") {
        hostcommand = HostCommand{};
        hostcommand.cmd = cmd;
        hostcommand.ser = ser;
        hostcommand.baud = baud;
        hostcommand.time = 1700000000;
        hostcommand.fail = fail;
        set_fwr(hostcommand.fwr, fwr);
        testresult.error = 0;
        return handle_command(link, platform);
    }

    FakeClock clock;
    FakePlatform platform;
    LinkState link;
};

// Every command in every status, with the right sequence number.
TEST_F(RunControl, EveryCommandInEveryStatus) {
    const uint16_t statuses[] = {STATUS_IDLE,       STATUS_RUNNING,  STATUS_FAIL,
                                 STATUS_OK,         STATUS_DOWNLOAD, STATUS_DOWNLOAD_FAIL,
                                 STATUS_DOWNLOAD_OK};
    const uint16_t commands[] = {CMD_POLLING, CMD_QUERY,    CMD_SET_PARAMETER,  CMD_START,
                                 CMD_STOP,    CMD_DOWNLOAD, CMD_DOWNLOAD_RESET, CMD_DOWNLOAD_CHECK,
                                 CMD_SAVE,    CMD_RESET,    CMD_ALIVE_CHECK,    CMD_DIAGNOSTIC,
                                 0x1234};
    for (uint16_t status : statuses) {
        for (uint16_t cmd : commands) {
            SetUp();
            set_run_status(status);
            const Reply reply = send(cmd, 0, 115200);
            const bool idle = status == STATUS_IDLE;
            const bool running = status == STATUS_RUNNING;

            Reply want_reply = Reply::None;
            uint16_t want_status = status;
            uint16_t want_error = 0;
            uint16_t want_ser = 0;
            uint32_t want_diagrecv = 0;
            switch (cmd) {
                case CMD_POLLING:
                    want_reply = idle ? Reply::Ack : Reply::None;
                    break;
                case CMD_QUERY:
                    want_reply = Reply::Ack;
                    want_ser = 1;
                    break;
                case CMD_SET_PARAMETER:
                    want_reply = idle ? Reply::Ack : Reply::Nak;
                    want_error = idle ? 0 : ERR_STATE;
                    want_ser = idle ? 1 : 0;
                    break;
                case CMD_START:
                    want_reply = idle ? Reply::Ack : Reply::Nak;
                    want_error = idle ? 0 : ERR_STATE;
                    want_ser = idle ? 1 : 0;
                    want_status = idle ? STATUS_RUNNING : status;
                    break;
                case CMD_STOP:
                    want_reply = running ? Reply::Ack : Reply::Nak;
                    want_error = running ? 0 : ERR_STATE;
                    want_ser = running ? 1 : 0;
                    want_status = running ? STATUS_OK : status;
                    break;
                case CMD_DOWNLOAD:
                    want_reply = Reply::Ack;
                    want_ser = 1;
                    want_status = STATUS_DOWNLOAD;
                    break;
                case CMD_RESET:
                    want_status = STATUS_IDLE;
                    break;
                case CMD_DIAGNOSTIC:
                    want_diagrecv = running ? 1 : 0;
                    break;
                default:
                    break;
            }
            const std::string where =
                "status " + std::to_string(status) + ", command " + std::to_string(cmd);
            EXPECT_EQ(reply, want_reply) << where;
            EXPECT_EQ(run_status(), want_status) << where;
            EXPECT_EQ(testresult.error, want_error) << where;
            EXPECT_EQ(testresult.ser, want_ser) << where;
            EXPECT_EQ(testresult.diagrecv, want_diagrecv) << where;
            EXPECT_EQ(platform.downloads, cmd == CMD_DOWNLOAD ? 1 : 0) << where;
        }
    }
}

TEST_F(RunControl, SequenceRule) {
    EXPECT_EQ(send(CMD_QUERY, 5), Reply::Nak);
    EXPECT_EQ(testresult.error, ERR_SEQUENCE);
    EXPECT_EQ(testresult.ser, 0);
    EXPECT_EQ(send(CMD_QUERY, 0), Reply::Ack);
    EXPECT_EQ(testresult.ser, 1);
    // Polling ignores the number, and is answered only while idle with ser 0.
    EXPECT_EQ(send(CMD_POLLING, 77), Reply::None);
    testresult.ser = 0;
    EXPECT_EQ(send(CMD_POLLING, 77), Reply::Ack);
    // A wrong number wins over every other check and changes nothing.
    set_run_status(STATUS_RUNNING);
    EXPECT_EQ(send(CMD_STOP, 9), Reply::Nak);
    EXPECT_EQ(testresult.error, ERR_SEQUENCE);
    EXPECT_EQ(run_status(), STATUS_RUNNING);
    EXPECT_EQ(teststop.load(), 0u);
    // The counter wraps.
    testresult.ser = 65535;
    EXPECT_EQ(send(CMD_QUERY, 65535), Reply::Ack);
    EXPECT_EQ(testresult.ser, 0);
}

TEST_F(RunControl, SetParameterLimitsAndFirmwareName) {
    config.downloadfwr = 1;
    EXPECT_EQ(send(CMD_SET_PARAMETER, 0, 921601, 0, "fw.bin"), Reply::Nak);
    EXPECT_EQ(testresult.error, ERR_BAUD);
    EXPECT_EQ(serial_baud.load(), 115200u);
    EXPECT_EQ(fwr_file[0], '\0');
    EXPECT_EQ(send(CMD_SET_PARAMETER, 0, 921600, 0, "fw.bin"), Reply::Ack);
    EXPECT_EQ(serial_baud.load(), 921600u);
    EXPECT_STREQ(fwr_file.data(), "fw.bin");
    EXPECT_EQ(config.downloadfwr, 1u);
    EXPECT_EQ(send(CMD_SET_PARAMETER, 1, 9600, 0, "0123456789abcdef"), Reply::Ack);
    EXPECT_STREQ(fwr_file.data(), "0123456789abcdef") << "a full field keeps all 16 bytes";
    EXPECT_EQ(send(CMD_SET_PARAMETER, 2, 9600, 0, "na"), Reply::Ack);
    EXPECT_EQ(config.downloadfwr, 0u) << "na: no download follows the run";
}

TEST_F(RunControl, StartSetsTheClockAndRetriesOnce) {
    platform.set_result = -1;
    platform.clock_value = 1234;
    EXPECT_EQ(send(CMD_START, 0), Reply::Ack);
    EXPECT_EQ(platform.clock_writes, (std::vector<int32_t>{1700000000, 1700000000}));
    EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{3000, 1000}));
    EXPECT_EQ(link.start_time, 1234);
    EXPECT_EQ(run_status(), STATUS_RUNNING);
    EXPECT_STREQ(getenv("TZ"), "CST-8");
}

TEST_F(RunControl, StopVerdicts) {
    struct Case {
        int32_t testfail;
        uint16_t fail;
        uint32_t downloadfwr;
        uint16_t status;
        uint16_t error;
        bool loop_end;
    };
    const Case cases[] = {
        {0, 0, 0, STATUS_OK, 0, true},
        {0, 0, 1, STATUS_OK, 0, false},  // a download follows
        {-1, 0, 1, STATUS_FAIL, ERR_RUN_FAILED, true},
        {0, 1, 0, STATUS_FAIL, ERR_RUN_FAILED, true},  // the PC declares the run failed
        {0, 1, 1, STATUS_FAIL, ERR_RUN_FAILED, true},
    };
    for (const auto& c : cases) {
        SetUp();
        set_run_status(STATUS_RUNNING);
        testfail.store(c.testfail);
        config.downloadfwr = c.downloadfwr;
        link.start_time = 100;
        platform.clock_value = 160;
        testresult.diagsent = 50;
        testresult.cycles.store(7);
        EXPECT_EQ(send(CMD_STOP, 0, 0, c.fail), Reply::Ack);
        EXPECT_EQ(run_status(), c.status);
        EXPECT_EQ(testresult.error, c.error);
        EXPECT_EQ(link.loop_end, c.loop_end);
        EXPECT_EQ(link.stop_time, 160);
        EXPECT_EQ(teststop.load(), 1u);
        EXPECT_EQ(testresult.diagsent, 0u);
        EXPECT_EQ(testresult.cycles.load(), 7u) << "cycles keep their value";
    }
}

TEST_F(RunControl, ResetClearsTheRunButKeepsNamesAndVerdict) {
    set_run_status(STATUS_OK);
    testresult.ser = 4;
    testresult.cycles.store(9);
    testresult.portfail[10].store(3);
    testresult.item[2].set_name("MEM");
    testresult.item[2].fail.store(4);
    testfail.store(-1);
    teststop.store(1);
    link.alive_pending = false;
    link.start_time = 10;
    link.stop_time = 20;
    EXPECT_EQ(send(CMD_RESET, 123), Reply::None);
    EXPECT_EQ(run_status(), STATUS_IDLE);
    EXPECT_EQ(testresult.ser, 0);
    EXPECT_EQ(testresult.cycles.load(), 0u);
    EXPECT_EQ(testresult.portfail[10].load(), 0u);
    EXPECT_EQ(testresult.item[2].fail.load(), 0u);
    EXPECT_EQ(testresult.item[2].name_text(), "MEM");
    EXPECT_TRUE(link.alive_pending);
    EXPECT_EQ(link.start_time, 0);
    EXPECT_EQ(link.stop_time, 0);
    EXPECT_EQ(testfail.load(), -1);
    EXPECT_EQ(teststop.load(), 1u);
}

// Stop (or now) minus start modulo 2^32, as the field holds it: a run across the hardware
// clock's 32-bit wrap keeps counting (the difference once overflowed a signed word there).
TEST_F(RunControl, AnswerCarriesTheBurnTimeAcrossTheClockWrap) {
    struct Case {
        Reply reply;
        uint16_t status;
        int32_t start, now, stop;
        uint16_t code;
        uint32_t burntime;
    };
    constexpr int32_t before_wrap = INT32_MAX - 9;
    constexpr int32_t after_wrap = INT32_MIN + 11;
    const Case cases[] = {
        {Reply::Ack, STATUS_RUNNING, 100, 160, 0, 0x8002, 60},
        {Reply::Nak, STATUS_OK, 100, 999, 160, 0x4002, 60},
        {Reply::Ack, STATUS_RUNNING, before_wrap, after_wrap, 0, 0x8002, 21},
        {Reply::Ack, STATUS_FAIL, before_wrap, 5, after_wrap, 0x8002, 21},
    };
    TempDir dir;
    const std::string none = dir.file("none");
    const WifiTextFiles files{none.c_str(), none.c_str(), none.c_str(), none.c_str()};
    for (const auto& c : cases) {
        SetUp();
        set_run_status(c.status);
        hostcommand.cmd = CMD_QUERY;
        link.start_time = c.start;
        link.stop_time = c.stop;
        platform.clock_value = c.now;
        const ResponseFrame f = decode_response(answer_frame(link, platform, c.reply, files));
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(f.burntime, c.burntime) << "from " << c.start << ", status " << c.status;
        EXPECT_FALSE(link.alive_pending) << "answered: no more announcements";
    }
}

TEST_F(RunControl, DownloadReleasesTheThread) {
    set_run_status(STATUS_OK);
    EXPECT_EQ(send(CMD_DOWNLOAD, 0), Reply::Ack);
    EXPECT_EQ(download_request.load(), 1u);
    EXPECT_EQ(run_status(), STATUS_DOWNLOAD);
    EXPECT_EQ(send(CMD_DOWNLOAD, 1), Reply::Ack) << "answered again";
    EXPECT_EQ(platform.downloads, 2) << "the platform decides that only one runs";
}

}  // namespace
}  // namespace ovik

namespace ovik {
namespace {

class Verdict : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        quiet.store(1);
        config = Configuration{};
        testfail.store(0);
        testsupport::clear_recorded_commands();
    }
    void TearDown() override { quiet.store(0); }
    static void bootenv(const std::string& text) { std::ofstream(BOOTENV_FILE) << text; }
    static std::string run() {
        testing::internal::CaptureStdout();
        show_verdict();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Verdict, PassSetsEotAndShowsThePassLed) {
    bootenv("serialnumber=TB1234\n");
    EXPECT_EQ(run(), "Burning OK.\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_setenv mm_flags 64\n"
              "/bin/PassLED.sh \n");
    EXPECT_EQ(run_status(), STATUS_OK);
}

TEST_F(Verdict, RepeatedPassClearsT1) {
    bootenv("mm_flags=72\n");
    EXPECT_EQ(run(), "Burning OK.\n");
    const std::string cmds = testsupport::recorded_commands();
    EXPECT_NE(cmds.find("/usr/bin/fw_setenv mm_flags 72\n"), std::string::npos) << cmds;
    EXPECT_NE(cmds.find("/usr/bin/fw_setenv mm_flags 64\n/bin/PassLED.sh \n"), std::string::npos)
        << cmds;
}

TEST_F(Verdict, FailShowsTheFailLedAndWritesNothing) {
    testfail.store(-1);
    config.gigalanlb = 1;
    EXPECT_EQ(run(), "Burning fail !\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/sbin/phytool write eth1/0x02/0x001f 0x0a43\n"
              "/usr/sbin/phytool write eth1/0x02/0x0018 0x2118\n"
              "/usr/sbin/phytool write eth1/0x02/0x0000 0x0104\n"
              "/usr/sbin/ethtool -s eth1 autoneg on\n"
              "/usr/sbin/ethtool -r eth1\n"
              "/bin/FailLED.sh \n");
    EXPECT_EQ(run_status(), STATUS_FAIL);
}

}  // namespace
}  // namespace ovik
