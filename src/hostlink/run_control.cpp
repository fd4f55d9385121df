#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "base/console.h"
#include "base/process.h"
#include "hostlink/hostlink.h"
#include "platform/bootenv.h"

namespace ovik {

using namespace wire;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The handler's view of one command: the link's state, the run's and the device's.
struct Command {
    LinkState& link;
    RunState& run;
    RunPlatform& platform;
    TestResult& testresult;
    const HostCommand& hostcommand;

    Reply nak(uint16_t error) {
        testresult.error = error;
        return Reply::Nak;
    }
    Reply ack() {
        testresult.ser = static_cast<uint16_t>(testresult.ser + 1);
        return Reply::Ack;
    }
    void clear_run_counters() {
        testresult.diagsent = 0;
        testresult.diagrecv = 0;
        testresult.wlan_ping_sent.store(0, relaxed);
        testresult.wlan_ping_recv.store(0, relaxed);
    }
};

bool sequence_matches(Command& c) {
    if (c.hostcommand.ser == c.testresult.ser) return true;
    say("Error sequence number my [%d], PC [%d]\n", c.testresult.ser, c.hostcommand.ser);
    c.testresult.error = ERR_SEQUENCE;
    return false;
}

Reply set_parameter(Command& c) {
    const HostCommand& cmd = c.hostcommand;
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

Reply start(Command& c) {
    if (c.run.status() != STATUS_IDLE) {
        say("Error status is not at idle status !\n");
        return c.nak(ERR_STATE);
    }
    // The run's local times are the factory's, UTC+8, from here on.
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
    const auto pc_time = static_cast<int32_t>(c.hostcommand.time);
    if (c.platform.set_clock(pc_time) < 0) {
        sleep_s(3);
        c.platform.set_clock(pc_time);
    }
    sleep_s(1);
    c.clear_run_counters();
    c.testresult.cycles.store(0, relaxed);
    c.link.start_time = c.platform.read_clock();
    const Reply reply = c.ack();
    c.run.set_status(STATUS_RUNNING);
    c.link.last_report = now_ms();
    return reply;
}

Reply stop(Command& c) {
    if (c.run.status() != STATUS_RUNNING) return c.nak(ERR_STATE);
    c.link.stop_time = c.platform.read_clock();
    say("stopburntime:%lu\n", static_cast<unsigned long>(static_cast<uint32_t>(c.link.stop_time)));
    c.run.teststop.store(1, relaxed);
    if (c.link.downloadfwr == 0) c.link.loop_end = true;
    if (c.hostcommand.fail != 0) c.run.mark_failed();
    const bool failed = c.run.failed();
    c.link.stop_failed = failed;
    if (failed) {
        c.link.loop_end = true;
        c.run.set_status(STATUS_FAIL);
        c.testresult.error = ERR_RUN_FAILED;
    } else {
        c.run.set_status(STATUS_OK);
    }
    c.clear_run_counters();
    return c.ack();
}

Reply download(Command& c) {
    c.platform.start_download(c.link.fwr_file);
    c.platform.release_download();
    c.run.set_status(STATUS_DOWNLOAD);
    return c.ack();
}

void reset(Command& c) {
    c.run.set_status(STATUS_IDLE);
    c.testresult.ser = 0;
    c.clear_run_counters();
    c.link.start_time = 0;
    c.link.stop_time = 0;
    c.testresult.burntime = 0;
    c.testresult.cycles.store(0, relaxed);
    for (auto& p : c.testresult.portfail) p.store(0, relaxed);
    for (auto& it : c.testresult.item) it.fail.store(0, relaxed);
    c.link.alive_pending = true;
}

}  // namespace

Reply handle_command(LinkState& link, RunState& run, RunPlatform& platform) {
    Command c{link, run, platform, run.testresult, link.hostcommand};
    const uint16_t cmd = link.hostcommand.cmd;
    if (cmd >= CMD_QUERY && cmd <= CMD_DOWNLOAD && !sequence_matches(c)) return Reply::Nak;
    switch (cmd) {
        case CMD_POLLING:
            return run.status() == STATUS_IDLE && c.testresult.ser == 0 ? Reply::Ack : Reply::None;
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
            if (run.status() == STATUS_RUNNING) ++c.testresult.diagrecv;
            return Reply::None;
        case CMD_RESET:
            reset(c);
            return Reply::None;
        default:
            return Reply::None;
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

void end_of_run(UniqueFd sock, const LinkState& link, RunState& run, const Configuration& config) {
    say("Stop main program loop !\n");
    sock.reset();
    show_verdict(link, run, config);
    for (;;) sleep_s(1);
}

}  // namespace ovik
