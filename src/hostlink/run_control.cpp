#include "hostlink/run_control.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "base/console.h"
#include "base/process.h"
#include "platform/bootenv.h"
#include "platform/rtc.h"

namespace ovik {

using namespace wire;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The handler's view of one command: the link's state, the run's and the device's.
struct Command {
    const HostCommand& command;
    LinkState& link;
    RunState& run;
    RunPlatform& platform;
    LinkFields& fields;
    TestResult& record;

    Answer answer(Reply reply, uint16_t error = 0) const { return {command.cmd, reply, error}; }
    Answer nak(uint16_t error) const { return answer(Reply::Nak, error); }
    Answer ack(uint16_t error = 0) {
        fields.ser = static_cast<uint16_t>(fields.ser + 1);
        return answer(Reply::Ack, error);
    }
    void clear_run_counters() {
        fields.diagsent = 0;
        fields.diagrecv = 0;
        record.wlan_ping_sent.store(0, relaxed);
        record.wlan_ping_recv.store(0, relaxed);
    }
};

bool sequence_matches(const Command& c) {
    if (c.command.ser == c.fields.ser) return true;
    say("Error sequence number my [%d], PC [%d]\n", c.fields.ser, c.command.ser);
    return false;
}

Answer set_parameter(Command& c) {
    const HostCommand& cmd = c.command;
    if (c.link.downloadfwr != 0) say("hostcommand.req.fwr = %s\n", fwr_text(cmd.fwr).c_str());
    say("hostcommand.req.baud = %ld\n", static_cast<long>(cmd.baud));
    if (cmd.baud > MAX_BAUD) {
        say("Error baud rate too large !\n");
        return c.nak(ERR_BAUD);
    }
    if (c.run.status() != STATUS_IDLE) {
        say("Error status is not at idle status !\n");
        return c.nak(ERR_STATE);
    }
    if (c.link.downloadfwr != 0) {
        c.link.fwr_file.fill('\0');
        std::copy(cmd.fwr.begin(), cmd.fwr.end(), c.link.fwr_file.begin());
        if (fwr_text(cmd.fwr) == "na") c.link.downloadfwr = 0;
    }
    c.run.serial_baud.store(cmd.baud, relaxed);
    return c.ack();
}

Answer start(Command& c) {
    if (c.run.status() != STATUS_IDLE) {
        say("Error status is not at idle status !\n");
        return c.nak(ERR_STATE);
    }
    // The run's local times are the factory's, UTC+8, from here on.
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
    const auto pc_time = static_cast<int32_t>(c.command.time);
    if (c.platform.set_clock(pc_time) < 0) {
        sleep_s(3);
        c.platform.set_clock(pc_time);
    }
    sleep_s(1);
    c.clear_run_counters();
    c.record.cycles.store(0, relaxed);
    c.link.start_time = c.platform.read_clock();
    const Answer answer = c.ack();
    c.run.set_status(STATUS_RUNNING);
    c.link.last_report = now_ms();
    return answer;
}

Answer stop(Command& c) {
    if (c.run.status() != STATUS_RUNNING) return c.nak(ERR_STATE);
    c.link.stop_time = c.platform.read_clock();
    say("stopburntime:%lu\n", static_cast<unsigned long>(static_cast<uint32_t>(c.link.stop_time)));
    c.run.teststop.store(1, relaxed);
    if (c.link.downloadfwr == 0) c.link.loop_end = true;
    if (c.command.fail != 0) c.run.mark_failed();
    const bool failed = c.run.failed();
    c.link.stop_failed = failed;
    if (failed) {
        c.link.loop_end = true;
        c.run.set_status(STATUS_FAIL);
    } else {
        c.run.set_status(STATUS_OK);
    }
    c.clear_run_counters();
    return c.ack(failed ? ERR_RUN_FAILED : 0);
}

Answer download(Command& c) {
    c.platform.start_download(c.link.fwr_file);
    c.platform.release_download();
    c.run.set_status(STATUS_DOWNLOAD);
    return c.ack();
}

void reset(Command& c) {
    c.run.set_status(STATUS_IDLE);
    c.fields.ser = 0;
    c.clear_run_counters();
    c.link.start_time = 0;
    c.link.stop_time = 0;
    c.fields.burntime = 0;
    c.record.cycles.store(0, relaxed);
    for (auto& p : c.record.portfail) p.store(0, relaxed);
    for (auto& it : c.record.item) it.fail.store(0, relaxed);
    c.link.alive_pending = true;
}

}  // namespace

LinkState::LinkState(uint32_t expect_download)
    : peer(broadcast_peer()), downloadfwr(expect_download) {}

sockaddr_in LinkState::broadcast_peer() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    a.sin_port = htons(PC_PORT);
    return a;
}

int32_t DevicePlatform::read_clock() {
    return read_rtc_time();
}
int DevicePlatform::set_clock(int32_t t) {
    return set_rtc_time(t);
}
void DevicePlatform::fill_time(uint8_t datetime[6]) {
    rtc_datetime(datetime);
}
void DevicePlatform::start_download(const FwrFile& file) {
    downloader_.start(file);
}
void DevicePlatform::release_download() {
    downloader_.release();
}
int32_t DevicePlatform::download_progress() {
    return downloader_.progress();
}

Answer handle_command(const HostCommand& command, LinkState& link, RunState& run,
                      RunPlatform& platform) {
    Command c{command, link, run, platform, link.fields, run.testresult};
    const uint16_t cmd = command.cmd;
    if (cmd >= CMD_QUERY && cmd <= CMD_DOWNLOAD && !sequence_matches(c)) {
        return c.nak(ERR_SEQUENCE);
    }
    switch (cmd) {
        case CMD_POLLING:
            return c.answer(run.status() == STATUS_IDLE && c.fields.ser == 0 ? Reply::Ack
                                                                             : Reply::None);
        case CMD_QUERY:
            return c.ack();
        case CMD_SET_PARAMETER:
            return set_parameter(c);
        case CMD_START:
            return start(c);
        case CMD_STOP:
            return stop(c);
        case CMD_DOWNLOAD:
            return download(c);
        case CMD_DIAGNOSTIC:
            if (run.status() == STATUS_RUNNING) ++c.fields.diagrecv;
            return c.answer(Reply::None);
        case CMD_RESET:
            reset(c);
            return c.answer(Reply::None);
        default:
            return c.answer(Reply::None);
    }
}

bool verdict_failed(const LinkState& link, const RunState& run) {
    return link.stop_failed.value_or(run.failed());
}

void show_verdict(const LinkState& link, RunState& run, const Configuration& config) {
    if (config.gigalanlb != 0) {
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x001f", "0x0a43"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0018", "0x2118"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x0104"});
        run_command({"ethtool", "-s", "eth1", "autoneg", "on"});
        run_command({"ethtool", "-r", "eth1"});
    }
    // The PC was told a verdict in the stop's answer and may have installed the firmware on
    // it: a failure counted afterwards by the cycle still running is in the error log, but
    // changes neither the LEDs nor mm_flags. Without a stop, the run's own flag decides.
    if (verdict_failed(link, run)) {
        run.set_status(STATUS_FAIL);
        std::printf("Burning fail !\n");
        run_command({"/bin/FailLED.sh"});
        return;
    }
    run.set_status(STATUS_OK);
    std::printf("Burning OK.\n");
    bool written = false;
    if (get_flag(EOT_FLAG) != 0) {
        // A repeated burn-in: the earlier pass's T1_1 mark goes.
        written = set_flag(1, EOT_FLAG) == 0 && set_flag(0, T1_1_FLAG) == 0;
        if (!written) std::printf("Write Burnning or MAC flag fail !\n");
    } else {
        written = set_flag(1, EOT_FLAG) == 0;
        if (!written) std::printf("Write Burnning flag fail !\n");
    }
    if (written) {
        run_command({"/bin/PassLED.sh"});
    } else {
        run_command({"/bin/FailLED.sh"});
        run.mark_failed();
    }
}

}  // namespace ovik
