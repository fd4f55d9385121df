#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "base/console.h"
#include "base/process.h"
#include "hostlink/hostlink.h"
#include "platform/bootenv.h"
#include "platform/rtc.h"
#include "plan/config.h"
#include "plan/testresult.h"

namespace ovik {

using namespace wire;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void clear_run_counters() {
    testresult.diagsent = 0;
    testresult.diagrecv = 0;
    testresult.wlan_ping_sent.store(0, relaxed);
    testresult.wlan_ping_recv.store(0, relaxed);
}

void advance_sequence() {
    testresult.ser = static_cast<uint16_t>(testresult.ser + 1);
}

bool sequence_matches() {
    if (hostcommand.ser == testresult.ser) return true;
    say("Error sequence number my [%d], PC [%d]\n", testresult.ser, hostcommand.ser);
    testresult.error = ERR_SEQUENCE;
    return false;
}

Reply set_parameter() {
    if (config.downloadfwr != 0) {
        say("hostcommand.req.fwr = %s\n", fwr_text(hostcommand.fwr).c_str());
    }
    say("hostcommand.req.baud = %ld\n", static_cast<long>(hostcommand.baud));
    if (hostcommand.baud > MAX_BAUD) {
        say("Error baud rate too large !\n");
        testresult.error = ERR_BAUD;
        return Reply::Nak;
    }
    if (run_status() != STATUS_IDLE) {
        say("Error status is not at idle status !\n");
        testresult.error = ERR_STATE;
        return Reply::Nak;
    }
    if (config.downloadfwr != 0) {
        fwr_file.fill('\0');
        std::copy(hostcommand.fwr.begin(), hostcommand.fwr.end(), fwr_file.begin());
        if (fwr_text(hostcommand.fwr) == "na") config.downloadfwr = 0;
    }
    serial_baud.store(hostcommand.baud, relaxed);
    advance_sequence();
    return Reply::Ack;
}

Reply start(LinkState& link, RunPlatform& platform) {
    if (run_status() != STATUS_IDLE) {
        say("Error status is not at idle status !\n");
        testresult.error = ERR_STATE;
        return Reply::Nak;
    }
    // The run's local times are the factory's, UTC+8, from here on.
    static char tz[] = "TZ=CST-8";
    ::putenv(tz);
    ::tzset();
    if (platform.set_clock(static_cast<int32_t>(hostcommand.time)) < 0) {
        sleep_s(3);
        platform.set_clock(static_cast<int32_t>(hostcommand.time));
    }
    sleep_s(1);
    clear_run_counters();
    testresult.cycles.store(0, relaxed);
    link.start_time = platform.read_clock();
    advance_sequence();
    set_run_status(STATUS_RUNNING);
    link.last_report = now_ms();
    return Reply::Ack;
}

Reply stop(LinkState& link, RunPlatform& platform) {
    if (run_status() != STATUS_RUNNING) {
        testresult.error = ERR_STATE;
        return Reply::Nak;
    }
    link.stop_time = platform.read_clock();
    say("stopburntime:%lu\n", static_cast<unsigned long>(static_cast<uint32_t>(link.stop_time)));
    teststop.store(1, relaxed);
    if (config.downloadfwr == 0) link.loop_end = true;
    if (hostcommand.fail != 0) testfail.store(-1, relaxed);
    if (testfail.load(relaxed) != 0) {
        link.loop_end = true;
        set_run_status(STATUS_FAIL);
        testresult.error = ERR_RUN_FAILED;
    } else {
        set_run_status(STATUS_OK);
    }
    clear_run_counters();
    advance_sequence();
    return Reply::Ack;
}

Reply download(RunPlatform& platform) {
    platform.start_download();
    download_request.store(1, std::memory_order_release);
    set_run_status(STATUS_DOWNLOAD);
    advance_sequence();
    return Reply::Ack;
}

void reset(LinkState& link) {
    set_run_status(STATUS_IDLE);
    testresult.ser = 0;
    clear_run_counters();
    link.start_time = 0;
    link.stop_time = 0;
    testresult.burntime = 0;
    testresult.cycles.store(0, relaxed);
    for (auto& p : testresult.portfail) p.store(0, relaxed);
    for (auto& it : testresult.item) it.fail.store(0, relaxed);
    link.alive_pending = true;
}

}  // namespace

Reply handle_command(LinkState& link, RunPlatform& platform) {
    const uint16_t cmd = hostcommand.cmd;
    if (cmd >= CMD_QUERY && cmd <= CMD_DOWNLOAD && !sequence_matches()) return Reply::Nak;
    switch (cmd) {
        case CMD_POLLING:
            return run_status() == STATUS_IDLE && testresult.ser == 0 ? Reply::Ack : Reply::None;
        case CMD_QUERY:
            advance_sequence();
            return Reply::Ack;
        case CMD_SET_PARAMETER:
            return set_parameter();
        case CMD_START:
            return start(link, platform);
        case CMD_STOP:
            return stop(link, platform);
        case CMD_DOWNLOAD:
            return download(platform);
        case CMD_DIAGNOSTIC:
            if (run_status() == STATUS_RUNNING) ++testresult.diagrecv;
            return Reply::None;
        case CMD_RESET:
            reset(link);
            return Reply::None;
        default:
            return Reply::None;
    }
}

void show_verdict() {
    if (config.gigalanlb != 0) {
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x001f", "0x0a43"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0018", "0x2118"});
        run_command({"/usr/sbin/phytool", "write", "eth1/0x02/0x0000", "0x0104"});
        run_command({"ethtool", "-s", "eth1", "autoneg", "on"});
        run_command({"ethtool", "-r", "eth1"});
    }
    if (testfail.load(relaxed) != 0) {
        set_run_status(STATUS_FAIL);
        std::printf("Burning fail !\n");
        run_command({"/bin/FailLED.sh"});
        return;
    }
    set_run_status(STATUS_OK);
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
        testfail.store(-1, relaxed);
    }
}

void end_of_run(UniqueFd sock) {
    say("Stop main program loop !\n");
    sock.reset();
    show_verdict();
    for (;;) sleep_s(1);
}

}  // namespace ovik
