#include "hostlink/link.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "plan/testresult.h"
#include "platform/netif.h"
#include "platform/rtc.h"

namespace ovik {

using namespace wire;

namespace {

ssize_t send_frame(const UniqueFd& sock, const sockaddr_in& peer, const ResponseBytes& frame) {
    return ::sendto(sock.get(), frame.data(), frame.size(), 0,
                    reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

// later - earlier of two clock readings, modulo 2^32 as the record's field holds it: a run
// across the clock's 2038 wrap still counts its seconds.
uint32_t seconds_between(int32_t earlier, int32_t later) {
    return static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier);
}

uint32_t burn_time(const LinkState& link, RunPlatform& platform) {
    return seconds_between(link.start_time, platform.read_clock());
}

const char* command_line_text(uint16_t cmd) {
    switch (cmd) {
        case CMD_POLLING:
            return ">>Receive polling command from PC.\n";
        case CMD_QUERY:
            return ">>Receive query command from PC.\n";
        case CMD_SET_PARAMETER:
            return ">>Receive set parameter command from PC.\n";
        case CMD_START:
            return ">>Receive start command from PC.\n";
        case CMD_STOP:
            return ">>Receive stop command from PC.\n";
        case CMD_DOWNLOAD:
            return ">>Receive download command from PC.\n";
        case CMD_DOWNLOAD_RESET:
            return ">>Receive download reset command from PC.\n";
        case CMD_DOWNLOAD_CHECK:
            return ">>Receive download check command from PC.\n";
        case CMD_SAVE:
            return ">>Receive save command from PC.\n";
        case CMD_RESET:
            return ">>Receive reset command from PC.\n";
        case CMD_ALIVE_CHECK:
            return ">>Receive alive check command from PC.\n";
        case CMD_DIAGNOSTIC:
            return ">>Receive diagnostic command from PC.\n";
        default:
            return ">>Receive unknow command from PC.\n";
    }
}

}  // namespace

void announce_or_report(const UniqueFd& sock, LinkState& link, RunState& run,
                        RunPlatform& platform) {
    LinkFields& fields = link.fields;
    const uint16_t status = run.status();
    if (status == STATUS_IDLE) {
        if (!link.alive_pending) return;
        platform.fill_time(fields.datetime.data());
        link.peer = LinkState::broadcast_peer();
        const ssize_t sent = send_frame(
            sock, link.peer, build_response_frame(RSP_ALIVE, fields, run, platform.wifi_texts()));
        say("<<Send ALIVE message to PC to want to start burning. [%d]\n", static_cast<int>(sent));
        return;
    }
    if (status != STATUS_RUNNING && status != STATUS_DOWNLOAD) return;
    const MsStamp now = now_ms();
    if (elapsed_ms(link.last_report, now) <= 99) return;
    if (status == STATUS_RUNNING) {
        platform.fill_time(fields.datetime.data());
        fields.burntime = burn_time(link, platform);
        send_frame(sock, link.peer,
                   build_response_frame(RSP_DIAG, fields, run, platform.wifi_texts()));
        ++fields.diagsent;
    } else {
        // Each download report carries the progress read at the report before.
        const int32_t progress = platform.download_progress();
        uint16_t code = RSP_DIAG;
        if (progress > 99) {
            run.set_status(STATUS_DOWNLOAD_OK);
            code = RSP_DOWNLOAD_END;
            link.loop_end = true;
        } else if (progress < 0) {
            run.set_status(STATUS_DOWNLOAD_FAIL);
            code = RSP_DOWNLOAD_END;
            link.loop_end = true;
        }
        send_frame(sock, link.peer, build_response_frame(code, fields, run, platform.wifi_texts()));
        fields.diagsent = static_cast<uint32_t>(progress);
    }
    link.last_report = now;
    say("<<Response [TQ61_DIAG] to PC my ser=%d, time=%lu, status=0x%x\n", fields.ser,
        static_cast<unsigned long>(fields.burntime), run.status());
}

ResponseBytes answer_frame(LinkState& link, const RunState& run, RunPlatform& platform,
                           const Answer& answer, const WifiTexts& texts) {
    LinkFields& fields = link.fields;
    link.alive_pending = false;
    const auto code =
        static_cast<uint16_t>((answer.reply == Reply::Ack ? ACK_BIT : NAK_BIT) | answer.cmd);
    platform.fill_time(fields.datetime.data());
    fields.burntime = run.status() == STATUS_RUNNING
                          ? burn_time(link, platform)
                          : seconds_between(link.start_time, link.stop_time);
    return build_response_frame(code, fields, run, texts);
}

UniqueFd open_host_link_socket(uint32_t local_address) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        say("Open the socket is fail !\n");
        return sock;
    }
    if (!bind_to_device(sock.get(), "eth0")) {
        say("Cannot assign the opened socket file handle to eth0 !\n");
        std::fprintf(stderr, "SO_BINDTODEVICE eth0: %s\n", std::strerror(errno));
        sock.reset();
        return sock;
    }
    const int on = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const linger lin{1, 3};
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = local_address;
    local.sin_port = htons(AGENT_PORT);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "bind to port %d: %s\n", AGENT_PORT, std::strerror(errno));
        sock.reset();
    }
    return sock;
}

int link_wait_ms(const RunState& run) {
    return run.status() == STATUS_IDLE ? 3000 : 1000;
}

Answer receive_command(const UniqueFd& sock, LinkState& link, RunState& run,
                       RunPlatform& platform) {
    uint8_t buf[COMMAND_FRAME_SIZE];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(sock.get(), buf, sizeof buf, MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
        std::fprintf(stderr, "Receive from the PC failed: %s\n", std::strerror(errno));
        return {};
    }
    link.peer = from;
    // A longer datagram counts as its first 128 bytes.
    const std::size_t got = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf);
    if (got < sizeof buf) std::memset(buf + got, 0, sizeof buf - got);
    const HostCommand command = parse_command_frame(buf);
    say(">>Receive command (0x%x) from PC length = %d, ser=%d\n", command.cmd,
        static_cast<int>(got), command.ser);
    if (got < COMMAND_FRAME_SIZE) {
        say("The data length is too short, need [%d]\n", static_cast<int>(COMMAND_FRAME_SIZE));
        return {};
    }

    say("%s", command_line_text(command.cmd));
    const Answer answer = handle_command(command, link, run, platform);
    link.fields.error = answer.error;
    return answer;
}

void send_answer(const UniqueFd& sock, LinkState& link, const RunState& run, RunPlatform& platform,
                 const Answer& answer) {
    send_frame(sock, link.peer, answer_frame(link, run, platform, answer, platform.wifi_texts()));
    say("<<Response command to PC my ser=%d, time=%lu!\n", link.fields.ser,
        static_cast<unsigned long>(link.fields.burntime));
}

void host_link_loop(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform) {
    while (!link.loop_end) {
        // The pass whose download report ends the loop still answers one command: the PC
        // may query the verdict right after the last report.
        announce_or_report(sock, link, run, platform);
        if (wait_readable(sock.get(), link_wait_ms(run)) <= 0) continue;
        const Answer answer = receive_command(sock, link, run, platform);
        if (answer.reply != Reply::None) send_answer(sock, link, run, platform, answer);
    }
}

void end_of_run(UniqueFd sock, const LinkState& link, RunState& run, const Configuration& config) {
    say("Stop main program loop !\n");
    sock.reset();
    show_verdict(link, run, config);
    for (;;) sleep_s(1);
}

}  // namespace ovik
