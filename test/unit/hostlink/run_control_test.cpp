// The command handler: what the PC sends in which status and what the agent answers, and what
// each accepted command does to the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/console.h"
#include "fake_clock.h"
#include "hostlink/link.h"
#include "plan/testresult.h"

namespace ovik {
namespace {

using namespace wire;

class FakePlatform final : public RunPlatform {
  public:
    int32_t clock_value = 5000;
    int set_result = 0;
    std::vector<int32_t> clock_writes;
    std::vector<std::string> downloads;  // the file name of each start_download
    int releases = 0;

    int32_t read_clock() override { return clock_value; }
    int set_clock(int32_t t) override {
        clock_writes.push_back(t);
        return set_result;
    }
    void fill_time(uint8_t datetime[6]) override { std::fill(datetime, datetime + 6, 0); }
    void start_download(const FwrFile& file) override { downloads.emplace_back(file.data()); }
    void release_download() override { ++releases; }
    int32_t download_progress() override { return 0; }
};

// The device's end of the link: the run, the link's state and the device, fresh for each case.
struct DeviceEnd {
    explicit DeviceEnd(uint16_t status = STATUS_IDLE, uint16_t ser = 0,
                       uint32_t expect_download = 0)
        : link(expect_download) {
        run.set_status(status);
        link.fields.ser = ser;
    }

    // Hands the handler a command frame as the link loop does; the error goes into the frames.
    Answer send(uint16_t cmd, uint16_t ser, uint32_t baud = 0, uint16_t fail = 0,
                const char* fwr = "") {
        HostCommand c;
        c.cmd = cmd;
        c.ser = ser;
        c.baud = baud;
        c.time = 1700000000;
        c.fail = fail;
        set_fwr(c.fwr, fwr);
        const Answer a = handle_command(c, link, run, platform);
        link.fields.error = a.error;
        return a;
    }

    // The answer as the PC receives it.
    ResponseFrame frame(const Answer& a) {
        return decode_response(answer_frame(link, run, platform, a, WifiTexts{}));
    }

    RunState run;
    LinkState link;
    FakePlatform platform;
};

class RunControl : public ::testing::Test {
  protected:
    void SetUp() override { quiet.store(1); }
    void TearDown() override { quiet.store(0); }

    testsupport::FakeClock clock_;
};

TEST_F(RunControl, AnswersInEachStatus) {
    constexpr uint16_t IDLE = STATUS_IDLE, RUN = STATUS_RUNNING, OK = STATUS_OK, FAIL = STATUS_FAIL,
                       LOAD = STATUS_DOWNLOAD;
    struct Case {
        uint16_t status, ser;              // the agent's, before
        uint16_t cmd, req_ser;             // what the PC sends
        uint32_t baud;                     //
        uint16_t code, error;              // the answer: code 0 for none
        uint16_t ser_after, status_after;  //
        uint32_t diagrecv;
    };
    const Case cases[] = {
        // Polling: answered only while idle with ser 0, whatever number the PC sends.
        {IDLE, 0, CMD_POLLING, 77, 0, 0x8001, 0, 0, IDLE, 0},
        {IDLE, 1, CMD_POLLING, 1, 0, 0, 0, 1, IDLE, 0},
        {RUN, 0, CMD_POLLING, 0, 0, 0, 0, 0, RUN, 0},
        // Commands 2 to 6 need the agent's number, which each acceptance advances.
        {IDLE, 5, CMD_QUERY, 5, 0, 0x8002, 0, 6, IDLE, 0},
        {IDLE, 5, CMD_QUERY, 4, 0, 0x4002, ERR_SEQUENCE, 5, IDLE, 0},
        {OK, 65535, CMD_QUERY, 65535, 0, 0x8002, 0, 0, OK, 0},
        {IDLE, 1, CMD_SET_PARAMETER, 1, 921600, 0x8003, 0, 2, IDLE, 0},
        {IDLE, 1, CMD_SET_PARAMETER, 1, 921601, 0x4003, ERR_BAUD, 1, IDLE, 0},
        {RUN, 3, CMD_SET_PARAMETER, 3, 9600, 0x4003, ERR_STATE, 3, RUN, 0},
        {RUN, 3, CMD_SET_PARAMETER, 3, 921601, 0x4003, ERR_BAUD, 3, RUN, 0},
        {RUN, 3, CMD_SET_PARAMETER, 2, 921601, 0x4003, ERR_SEQUENCE, 3, RUN, 0},
        {IDLE, 2, CMD_START, 2, 0, 0x8004, 0, 3, RUN, 0},
        {RUN, 3, CMD_START, 3, 0, 0x4004, ERR_STATE, 3, RUN, 0},
        {OK, 4, CMD_START, 4, 0, 0x4004, ERR_STATE, 4, OK, 0},
        {LOAD, 5, CMD_START, 5, 0, 0x4004, ERR_STATE, 5, LOAD, 0},
        {RUN, 3, CMD_STOP, 3, 0, 0x8005, 0, 4, OK, 0},
        {RUN, 3, CMD_STOP, 4, 0, 0x4005, ERR_SEQUENCE, 3, RUN, 0},
        {IDLE, 3, CMD_STOP, 3, 0, 0x4005, ERR_STATE, 3, IDLE, 0},
        {OK, 4, CMD_STOP, 4, 0, 0x4005, ERR_STATE, 4, OK, 0},
        // Download from any status.
        {OK, 4, CMD_DOWNLOAD, 4, 0, 0x8006, 0, 5, LOAD, 0},
        {IDLE, 0, CMD_DOWNLOAD, 0, 0, 0x8006, 0, 1, LOAD, 0},
        {FAIL, 4, CMD_DOWNLOAD, 4, 0, 0x8006, 0, 5, LOAD, 0},
        {OK, 4, CMD_DOWNLOAD, 3, 0, 0x4006, ERR_SEQUENCE, 4, OK, 0},
        // Reset: from any status, unanswered.
        {OK, 4, CMD_RESET, 9, 0, 0, 0, 0, IDLE, 0},
        {LOAD, 5, CMD_RESET, 0, 0, 0, 0, 0, IDLE, 0},
        // Diagnostics count while running; the rest is never answered and changes nothing.
        {RUN, 3, CMD_DIAGNOSTIC, 0, 0, 0, 0, 3, RUN, 1},
        {IDLE, 0, CMD_DIAGNOSTIC, 0, 0, 0, 0, 0, IDLE, 0},
        {RUN, 3, CMD_DOWNLOAD_RESET, 3, 0, 0, 0, 3, RUN, 0},
        {RUN, 3, CMD_DOWNLOAD_CHECK, 3, 0, 0, 0, 3, RUN, 0},
        {IDLE, 0, CMD_SAVE, 0, 0, 0, 0, 0, IDLE, 0},
        {RUN, 3, CMD_ALIVE_CHECK, 3, 0, 0, 0, 3, RUN, 0},
        {IDLE, 0, 0x1234, 0, 0, 0, 0, 0, IDLE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "status " << c.status << ", ser " << c.ser
                                          << ", command " << c.cmd << " ser " << c.req_ser);
        DeviceEnd d(c.status, c.ser);
        const Answer a = d.send(c.cmd, c.req_ser, c.baud);
        const ResponseFrame f = d.frame(a);
        EXPECT_EQ(a.reply == Reply::None ? 0 : f.code, c.code);
        EXPECT_EQ(f.error, c.error);
        EXPECT_EQ(f.ser, c.ser_after);
        EXPECT_EQ(f.status, c.status_after);
        EXPECT_EQ(f.diagrecv, c.diagrecv);
    }
}

// The firmware file name counts only when a download is expected; "na" says none follows. A
// refused command keeps the earlier baud rate and name; download takes the name set.
TEST_F(RunControl, SetParameterAndDownload) {
    DeviceEnd d(STATUS_IDLE, 0, 1);
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 0, 921601, 0, "fw.bin").reply, Reply::Nak);
    EXPECT_EQ(d.run.serial_baud.load(), 115200u);
    EXPECT_EQ(d.link.fwr_file[0], '\0');
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 0, 921600, 0, "0123456789abcdef").reply, Reply::Ack);
    EXPECT_EQ(d.run.serial_baud.load(), 921600u);
    EXPECT_EQ(std::string(d.link.fwr_file.data(), 16), "0123456789abcdef");
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 1, 9600, 0, "fw.bin").reply, Reply::Ack);
    EXPECT_EQ(d.send(CMD_DOWNLOAD, 2).reply, Reply::Ack);
    EXPECT_EQ(d.platform.downloads, std::vector<std::string>{"fw.bin"});
    EXPECT_EQ(d.platform.releases, 1);

    DeviceEnd na(STATUS_IDLE, 0, 1);
    EXPECT_EQ(na.send(CMD_SET_PARAMETER, 0, 9600, 0, "na").reply, Reply::Ack);
    EXPECT_EQ(na.link.downloadfwr, 0u);
}

TEST_F(RunControl, StartSetsTheClockAndRetriesOnce) {
    DeviceEnd d;
    d.platform.set_result = -1;
    d.platform.clock_value = 1234;
    d.run.testresult.cycles.store(9);
    EXPECT_EQ(d.send(CMD_START, 0).reply, Reply::Ack);
    EXPECT_EQ(d.platform.clock_writes, (std::vector<int32_t>{1700000000, 1700000000}));
    EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{3000, 1000}));
    EXPECT_EQ(d.link.start_time, 1234);
    EXPECT_EQ(d.run.testresult.cycles.load(), 0u);
    EXPECT_STREQ(std::getenv("TZ"), "CST-8");
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
        DeviceEnd d(STATUS_RUNNING, 0, c.downloadfwr);
        d.run.testfail.store(c.testfail);
        d.platform.clock_value = 160;
        d.link.fields.diagsent = 50;
        d.run.testresult.cycles.store(7);
        const Answer a = d.send(CMD_STOP, 0, 0, c.fail);
        EXPECT_EQ(a.reply, Reply::Ack);
        EXPECT_EQ(d.run.status(), c.status);
        EXPECT_EQ(a.error, c.error);
        EXPECT_EQ(d.link.loop_end, c.loop_end);
        EXPECT_EQ(d.link.stop_failed, std::optional<bool>(c.status == STATUS_FAIL));
        EXPECT_EQ(d.link.stop_time, 160);
        EXPECT_EQ(d.run.teststop.load(), 1u);
        EXPECT_EQ(d.link.fields.diagsent, 0u);
        EXPECT_EQ(d.run.testresult.cycles.load(), 7u) << "cycles keep their value";
    }
}

TEST_F(RunControl, ResetClearsTheRunButKeepsNamesAndVerdict) {
    DeviceEnd d(STATUS_OK, 4);
    TestResult& record = d.run.testresult;
    record.cycles.store(9);
    record.portfail[10].store(3);
    record.item[2].set_name("MEM");
    record.item[2].fail.store(4);
    d.run.mark_failed();
    d.run.teststop.store(1);
    d.link.alive_pending = false;
    d.link.start_time = 10;
    d.link.stop_time = 20;
    EXPECT_EQ(d.send(CMD_RESET, 123).reply, Reply::None);
    EXPECT_EQ(record.cycles.load(), 0u);
    EXPECT_EQ(record.portfail[10].load(), 0u);
    EXPECT_EQ(record.item[2].fail.load(), 0u);
    EXPECT_EQ(record.item[2].name_text(), "MEM");
    EXPECT_TRUE(d.link.alive_pending) << "announcements again";
    EXPECT_EQ(d.link.start_time, 0);
    EXPECT_EQ(d.link.stop_time, 0);
    EXPECT_TRUE(d.run.failed());
    EXPECT_EQ(d.run.teststop.load(), 1u);
}

// Stop (or now, while running) minus start, modulo 2^32 as the field holds it: a run across
// the hardware clock's 32-bit wrap keeps counting.
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
    for (const auto& c : cases) {
        DeviceEnd d(c.status);
        d.link.start_time = c.start;
        d.link.stop_time = c.stop;
        d.platform.clock_value = c.now;
        const ResponseFrame f = d.frame(Answer{CMD_QUERY, c.reply});
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(f.burntime, c.burntime) << "from " << c.start << ", status " << c.status;
        EXPECT_FALSE(d.link.alive_pending) << "answered: no more announcements";
    }
}

}  // namespace
}  // namespace ovik
