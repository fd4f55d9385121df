#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/console.h"
#include "fake_clock.h"
#include "hostlink/hostlink.h"
#include "output_capture.h"
#include "plan/config.h"
#include "plan/testresult.h"
#include "private_mounts.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using namespace wire;
using testsupport::FakeClock;
using testsupport::OutputCapture;
using testsupport::TempDir;

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
    explicit DeviceEnd(uint32_t expect_download = 0) : link(expect_download) {}

    // Hands the handler a command frame as the link loop does.
    Reply send(uint16_t cmd, uint16_t ser, uint32_t baud = 0, uint16_t fail = 0,
               const char* fwr = "") {
        HostCommand& c = link.hostcommand;
        c = HostCommand{};
        c.cmd = cmd;
        c.ser = ser;
        c.baud = baud;
        c.time = 1700000000;
        c.fail = fail;
        set_fwr(c.fwr, fwr);
        run.testresult.error = 0;
        return handle_command(link, run, platform);
    }

    // The answer to the last command as the PC receives it.
    ResponseFrame answer(Reply reply) {
        const std::string none = dir.file("none");
        const WifiTextFiles files{none.c_str(), none.c_str(), none.c_str(), none.c_str()};
        return decode_response(answer_frame(link, run, platform, reply, files));
    }

    RunState run;
    LinkState link;
    FakePlatform platform;
    TempDir dir;
};

class RunControl : public ::testing::Test {
  protected:
    void SetUp() override { quiet.store(1); }
    void TearDown() override { quiet.store(0); }

    FakeClock clock_;
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
            DeviceEnd d;
            d.run.set_status(status);
            const Reply reply = d.send(cmd, 0, 115200);
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
            EXPECT_EQ(d.run.status(), want_status) << where;
            EXPECT_EQ(d.run.testresult.error, want_error) << where;
            EXPECT_EQ(d.run.testresult.ser, want_ser) << where;
            EXPECT_EQ(d.run.testresult.diagrecv, want_diagrecv) << where;
            EXPECT_EQ(d.platform.downloads.size(), cmd == CMD_DOWNLOAD ? 1u : 0u) << where;
        }
    }
}

TEST_F(RunControl, SequenceRule) {
    DeviceEnd d;
    TestResult& record = d.run.testresult;
    EXPECT_EQ(d.send(CMD_QUERY, 5), Reply::Nak);
    EXPECT_EQ(record.error, ERR_SEQUENCE);
    EXPECT_EQ(record.ser, 0);
    EXPECT_EQ(d.send(CMD_QUERY, 0), Reply::Ack);
    EXPECT_EQ(record.ser, 1);
    // Polling ignores the number, and is answered only while idle with ser 0.
    EXPECT_EQ(d.send(CMD_POLLING, 77), Reply::None);
    record.ser = 0;
    EXPECT_EQ(d.send(CMD_POLLING, 77), Reply::Ack);
    // A wrong number wins over every other check and changes nothing.
    d.run.set_status(STATUS_RUNNING);
    EXPECT_EQ(d.send(CMD_STOP, 9), Reply::Nak);
    EXPECT_EQ(record.error, ERR_SEQUENCE);
    EXPECT_EQ(d.run.status(), STATUS_RUNNING);
    EXPECT_EQ(d.run.teststop.load(), 0u);
    // The counter wraps.
    record.ser = 65535;
    EXPECT_EQ(d.send(CMD_QUERY, 65535), Reply::Ack);
    EXPECT_EQ(record.ser, 0);
}

TEST_F(RunControl, SetParameterLimitsAndFirmwareName) {
    DeviceEnd d(1);
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 0, 921601, 0, "fw.bin"), Reply::Nak);
    EXPECT_EQ(d.run.testresult.error, ERR_BAUD);
    EXPECT_EQ(d.run.serial_baud.load(), 115200u);
    EXPECT_EQ(d.link.fwr_file[0], '\0');
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 0, 921600, 0, "fw.bin"), Reply::Ack);
    EXPECT_EQ(d.run.serial_baud.load(), 921600u);
    EXPECT_STREQ(d.link.fwr_file.data(), "fw.bin");
    EXPECT_EQ(d.link.downloadfwr, 1u);
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 1, 9600, 0, "0123456789abcdef"), Reply::Ack);
    EXPECT_STREQ(d.link.fwr_file.data(), "0123456789abcdef") << "a full field keeps all 16 bytes";
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 2, 9600, 0, "na"), Reply::Ack);
    EXPECT_EQ(d.link.downloadfwr, 0u) << "na: no download follows the run";
}

TEST_F(RunControl, StartSetsTheClockAndRetriesOnce) {
    DeviceEnd d;
    d.platform.set_result = -1;
    d.platform.clock_value = 1234;
    EXPECT_EQ(d.send(CMD_START, 0), Reply::Ack);
    EXPECT_EQ(d.platform.clock_writes, (std::vector<int32_t>{1700000000, 1700000000}));
    EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{3000, 1000}));
    EXPECT_EQ(d.link.start_time, 1234);
    EXPECT_EQ(d.run.status(), STATUS_RUNNING);
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
        DeviceEnd d(c.downloadfwr);
        d.run.set_status(STATUS_RUNNING);
        d.run.testfail.store(c.testfail);
        d.link.start_time = 100;
        d.platform.clock_value = 160;
        d.run.testresult.diagsent = 50;
        d.run.testresult.cycles.store(7);
        EXPECT_EQ(d.send(CMD_STOP, 0, 0, c.fail), Reply::Ack);
        EXPECT_EQ(d.run.status(), c.status);
        EXPECT_EQ(d.run.testresult.error, c.error);
        EXPECT_EQ(d.link.loop_end, c.loop_end);
        EXPECT_EQ(d.link.stop_failed, std::optional<bool>(c.status == STATUS_FAIL));
        EXPECT_EQ(d.link.stop_time, 160);
        EXPECT_EQ(d.run.teststop.load(), 1u);
        EXPECT_EQ(d.run.testresult.diagsent, 0u);
        EXPECT_EQ(d.run.testresult.cycles.load(), 7u) << "cycles keep their value";
    }
}

TEST_F(RunControl, ResetClearsTheRunButKeepsNamesAndVerdict) {
    DeviceEnd d;
    TestResult& record = d.run.testresult;
    d.run.set_status(STATUS_OK);
    record.ser = 4;
    record.cycles.store(9);
    record.portfail[10].store(3);
    record.item[2].set_name("MEM");
    record.item[2].fail.store(4);
    d.run.mark_failed();
    d.run.teststop.store(1);
    d.link.alive_pending = false;
    d.link.start_time = 10;
    d.link.stop_time = 20;
    EXPECT_EQ(d.send(CMD_RESET, 123), Reply::None);
    EXPECT_EQ(d.run.status(), STATUS_IDLE);
    EXPECT_EQ(record.ser, 0);
    EXPECT_EQ(record.cycles.load(), 0u);
    EXPECT_EQ(record.portfail[10].load(), 0u);
    EXPECT_EQ(record.item[2].fail.load(), 0u);
    EXPECT_EQ(record.item[2].name_text(), "MEM");
    EXPECT_TRUE(d.link.alive_pending);
    EXPECT_EQ(d.link.start_time, 0);
    EXPECT_EQ(d.link.stop_time, 0);
    EXPECT_TRUE(d.run.failed());
    EXPECT_EQ(d.run.teststop.load(), 1u);
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
    for (const auto& c : cases) {
        DeviceEnd d;
        d.run.set_status(c.status);
        d.link.hostcommand.cmd = CMD_QUERY;
        d.link.start_time = c.start;
        d.link.stop_time = c.stop;
        d.platform.clock_value = c.now;
        const ResponseFrame f = d.answer(c.reply);
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(f.burntime, c.burntime) << "from " << c.start << ", status " << c.status;
        EXPECT_FALSE(d.link.alive_pending) << "answered: no more announcements";
    }
}

TEST_F(RunControl, DownloadStartsAndReleasesTheThread) {
    DeviceEnd d(1);
    EXPECT_EQ(d.send(CMD_SET_PARAMETER, 0, 115200, 0, "fw.bin"), Reply::Ack);
    d.run.set_status(STATUS_OK);
    EXPECT_EQ(d.send(CMD_DOWNLOAD, 1), Reply::Ack);
    EXPECT_EQ(d.platform.downloads, std::vector<std::string>{"fw.bin"});
    EXPECT_EQ(d.platform.releases, 1);
    EXPECT_EQ(d.run.status(), STATUS_DOWNLOAD);
    EXPECT_EQ(d.send(CMD_DOWNLOAD, 2), Reply::Ack) << "answered again";
    EXPECT_EQ(d.platform.downloads.size(), 2u) << "the platform decides that only one runs";
}

// PATH for the object's life: programs named without a slash are searched there only.
class SearchPath {
  public:
    explicit SearchPath(const std::string& dirs) {
        if (const char* p = std::getenv("PATH")) saved_ = p;
        ::setenv("PATH", dirs.c_str(), 1);
    }
    ~SearchPath() {
        if (saved_) {
            ::setenv("PATH", saved_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }
    SearchPath(const SearchPath&) = delete;
    SearchPath& operator=(const SearchPath&) = delete;

  private:
    std::optional<std::string> saved_;
};

// The end of the run runs the LED scripts and the boot environment's tools: only with the
// recording stand-ins of a private mount namespace.
class Verdict : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        quiet.store(1);
        testsupport::clear_recorded_commands();
    }
    void TearDown() override { quiet.store(0); }

    static void bootenv(const std::string& text) { std::ofstream(BOOTENV_FILE) << text; }
    // What show_verdict prints.
    static std::string show(DeviceEnd& d, const Configuration& config = Configuration{}) {
        OutputCapture capture;
        show_verdict(d.link, d.run, config);
        return capture.text();
    }
    // A run that the PC stopped; the stop has been answered.
    static void stop(DeviceEnd& d, uint16_t fail = 0) {
        d.run.set_status(STATUS_RUNNING);
        ASSERT_EQ(d.send(CMD_STOP, 0, 0, fail), Reply::Ack);
    }
};

TEST_F(Verdict, PassSetsEotAndShowsThePassLed) {
    bootenv("serialnumber=TB1234\n");
    DeviceEnd d;
    EXPECT_EQ(show(d), "Burning OK.\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_setenv mm_flags 64\n"
              "/bin/PassLED.sh \n");
    EXPECT_EQ(d.run.status(), STATUS_OK);
}

TEST_F(Verdict, RepeatedPassClearsT1) {
    bootenv("mm_flags=72\n");
    DeviceEnd d;
    EXPECT_EQ(show(d), "Burning OK.\n");
    const std::string cmds = testsupport::recorded_commands();
    EXPECT_NE(cmds.find("/usr/bin/fw_setenv mm_flags 72\n"), std::string::npos) << cmds;
    EXPECT_NE(cmds.find("/usr/bin/fw_setenv mm_flags 64\n/bin/PassLED.sh \n"), std::string::npos)
        << cmds;
}

TEST_F(Verdict, FailShowsTheFailLedAndWritesNothing) {
    DeviceEnd d;
    d.run.mark_failed();
    Configuration config;
    config.gigalanlb = 1;
    EXPECT_EQ(show(d, config), "Burning fail !\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/sbin/phytool write eth1/0x02/0x001f 0x0a43\n"
              "/usr/sbin/phytool write eth1/0x02/0x0018 0x2118\n"
              "/usr/sbin/phytool write eth1/0x02/0x0000 0x0104\n"
              "/usr/sbin/ethtool -s eth1 autoneg on\n"
              "/usr/sbin/ethtool -r eth1\n"
              "/bin/FailLED.sh \n");
    EXPECT_EQ(d.run.status(), STATUS_FAIL);
}

// The PC acts on the verdict in the stop's answer: a failure that the cycle still running
// counts after the stop changes neither the LEDs nor mm_flags.
TEST_F(Verdict, StopAnswerIsTheVerdictShown) {
    bootenv("mm_flags=0\n");
    DeviceEnd d;
    stop(d);
    EXPECT_EQ(d.answer(Reply::Ack).status, STATUS_OK);
    d.run.mark_failed();
    EXPECT_EQ(show(d), "Burning OK.\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_printenv \n"
              "/usr/bin/fw_setenv mm_flags 64\n"
              "/bin/PassLED.sh \n");
    EXPECT_EQ(d.run.status(), STATUS_OK);
}

// A pass whose mm_flags cannot be written ends with the fail LED and a failed run.
TEST_F(Verdict, UnwritableFlagsTurnThePassIntoTheFailLed) {
    bootenv("mm_flags=0\n");
    // fw_printenv is found; fw_setenv is not.
    TempDir tools;
    const std::string bin = tools.file("bin");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/usr/bin/fw_printenv", (bin + "/fw_printenv").c_str()), 0);
    const SearchPath path(bin);

    DeviceEnd d;
    stop(d);
    EXPECT_EQ(show(d), "Burning OK.\nWrite Burnning flag fail !\n");
    EXPECT_EQ(testsupport::recorded_commands(),
              bin + "/fw_printenv \n" + bin + "/fw_printenv \n/bin/FailLED.sh \n");
    EXPECT_TRUE(d.run.failed());
}

}  // namespace
}  // namespace ovik
