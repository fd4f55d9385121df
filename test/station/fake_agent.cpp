#include "fake_agent.h"

#include <algorithm>

#include "support.h"

namespace ovik::station::test {

using namespace wire;
using Clock = std::chrono::steady_clock;

FakeAgent::FakeAgent(FakeAgentOptions options)
    : options_(std::move(options)),
      socket_(loopback_socket()),
      peer_(options_.announce_to.value_or(Endpoint{})) {
    rec_.serial = options_.serial;
    rec_.ip = {127, 0, 0, 1};
    rec_.softwareid = 0x0102;
    rec_.apid = 0x00000A0B;
    rec_.portnum = 4;
    const char* names[] = {"COM", "LAN", "USB"};
    for (std::size_t i = 0; i < 3; ++i) std::copy_n(names[i], 3, rec_.item[i].name.begin());
    thread_ = std::thread([this] { serve(); });
}

FakeAgent::~FakeAgent() {
    quit_ = true;
    thread_.join();
}

std::vector<CommandFrame> FakeAgent::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

int FakeAgent::count(uint16_t cmd) const {
    const auto all = received();
    return static_cast<int>(std::count_if(all.begin(), all.end(),
                                          [cmd](const CommandFrame& c) { return c.cmd == cmd; }));
}

void FakeAgent::respond(uint16_t code) {
    rec_.code = code;
    if (options_.lose_first_answer.erase(static_cast<uint16_t>(code & 0x3FFF)) > 0) return;
    const ResponseBytes bytes = encode_response(rec_);
    socket_.send_to(peer_, bytes);
}

void FakeAgent::serve() {
    auto next_announce = Clock::now();
    auto last_report = Clock::now();
    Datagram d;
    while (!quit_ && !ended_) {
        const auto now = Clock::now();
        if (rec_.status == STATUS_IDLE && alive_pending_ && options_.announce_to &&
            now >= next_announce) {
            peer_ = *options_.announce_to;
            respond(RSP_ALIVE);
            next_announce = now + 100ms;
        }
        const bool reporting = rec_.status == STATUS_RUNNING || rec_.status == STATUS_DOWNLOAD;
        if (reporting && !dead_ && now - last_report >= options_.report_every) {
            last_report = now;
            uint16_t code = RSP_DIAG;
            if (rec_.status == STATUS_RUNNING) {
                ++rec_.cycles;
                rec_.burntime = static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::seconds>(now - started_).count());
                if (options_.test_failures) {
                    rec_.item[0].fail = 2;
                    rec_.portfail[1] = 3;
                }
            } else if (progress_ >= 100 || (options_.download_fails && progress_ >= 50)) {
                rec_.status = progress_ >= 100 ? STATUS_DOWNLOAD_OK : STATUS_DOWNLOAD_FAIL;
                code = RSP_DOWNLOAD_END;
                ended_ = true;
            }
            rec_.diagsent = rec_.status == STATUS_RUNNING ? rec_.diagsent + 1 : progress_;
            respond(code);
            progress_ = std::min<uint32_t>(progress_ + 25, 100);
        }
        if (!socket_.wait_readable(10)) continue;
        while (socket_.receive(d)) {
            peer_ = d.from;
            if (d.bytes.size() < COMMAND_FRAME_SIZE) continue;
            handle(decode_command(
                std::span<const uint8_t, COMMAND_FRAME_SIZE>(d.bytes.data(), COMMAND_FRAME_SIZE)));
        }
    }
}

void FakeAgent::handle(const CommandFrame& c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(c);
    }
    if (dead_ || ended_) return;
    rec_.error = 0;
    auto nak = [&](uint16_t error) {
        rec_.error = error;
        alive_pending_ = false;
        respond(NAK_BIT | c.cmd);
    };
    auto ack = [&] {
        alive_pending_ = false;
        respond(ACK_BIT | c.cmd);
    };
    if (c.cmd == CMD_POLLING) {
        if (rec_.status == STATUS_IDLE && rec_.ser == 0) ack();
        return;
    }
    if (c.cmd == CMD_DIAGNOSTIC) {
        if (rec_.status == STATUS_RUNNING) ++rec_.diagrecv;
        return;
    }
    if (c.cmd < CMD_QUERY || c.cmd > CMD_DOWNLOAD) return;
    if (c.ser != rec_.ser) return nak(ERR_SEQUENCE);
    switch (c.cmd) {
        case CMD_SET_PARAMETER:
            if (c.baud > MAX_BAUD) return nak(ERR_BAUD);
            if (rec_.status != STATUS_IDLE) return nak(ERR_STATE);
            if (fwr_text(c.fwr) == "na") options_.download_expected = false;
            break;
        case CMD_START:
            if (rec_.status != STATUS_IDLE) return nak(ERR_STATE);
            std::this_thread::sleep_for(options_.start_delay);
            rec_.status = STATUS_RUNNING;
            started_ = Clock::now();
            break;
        case CMD_STOP: {
            if (rec_.status != STATUS_RUNNING) return nak(ERR_STATE);
            const bool failed = c.fail != 0 || options_.test_failures;
            rec_.status = failed ? STATUS_FAIL : STATUS_OK;
            rec_.error = failed ? ERR_RUN_FAILED : 0;
            rec_.diagsent = rec_.diagrecv = 0;
            ended_ = failed || !options_.download_expected;
            break;
        }
        case CMD_DOWNLOAD:
            rec_.status = STATUS_DOWNLOAD;
            progress_ = 0;
            break;
        default:
            break;
    }
    ++rec_.ser;
    ack();
    dead_ = options_.dies_after_start && c.cmd == CMD_START;
}

}  // namespace ovik::station::test
