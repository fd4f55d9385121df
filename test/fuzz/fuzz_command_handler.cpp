// The command handler as the link loop drives it: a sequence of 128-byte command frames applied
// to the run state, each followed by the frame the loop would send. The first input byte sets
// the surroundings: bit 0 a download is expected, bit 1 the hardware clock refuses writes, bits
// 2..7 a test fails before frame 0..5. The second byte says how far the hardware clock moves
// between two readings (up to most of its 32-bit range, so runs cross its wrap).
//
// Invariants: the sequence number advances by one exactly on an accepted numbered command (and
// a reset zeroes it); the status moves only as the command allows; a refusal carries its error
// code and changes nothing else; an accepted stop keeps the verdict its answer carries; the
// answer is a 512-byte frame that carries the state, the answer's code and the burn time, stop
// (or now) minus start modulo 2^32.
#include <array>
#include <cstddef>
#include <cstdint>

#include "base/console.h"
#include "fake_clock.h"
#include "fuzz_support.h"
#include "hostlink/link.h"
#include "plan/testresult.h"
#include "platform/download.h"

namespace ovik {
namespace {

using namespace wire;

class InertPlatform final : public RunPlatform {
  public:
    InertPlatform(bool clock_refuses, uint32_t step) : clock_refuses_(clock_refuses), step_(step) {}
    int32_t read_clock() override {
        clock_ += step_;
        return last_reading();
    }
    int set_clock(int32_t t) override {
        if (clock_refuses_) return -1;
        clock_ = static_cast<uint32_t>(t);
        return 0;
    }
    void fill_time(uint8_t datetime[6]) override {
        for (int i = 0; i < 6; ++i) datetime[i] = static_cast<uint8_t>(i);
    }
    void start_download(const FwrFile&) override {}
    void release_download() override {}
    int32_t download_progress() override { return 0; }
    int32_t last_reading() const { return static_cast<int32_t>(clock_); }

  private:
    bool clock_refuses_;
    uint32_t step_;
    uint32_t clock_ = 1000;
};

struct WifiFiles {
    fuzz::MemFile ssid0{"burnin1234\n"};
    fuzz::MemFile channel0{"6"};
    fuzz::MemFile ssid1{""};
    fuzz::MemFile channel1{"2437\nmore"};
    WifiTextFiles paths() const {
        return {ssid0.path().c_str(), channel0.path().c_str(), ssid1.path().c_str(),
                channel1.path().c_str()};
    }
};

// The files every frame reads, made once for the whole run.
const WifiFiles& wifi_files() {
    static const WifiFiles files;
    return files;
}

bool numbered(uint16_t cmd) {
    return cmd >= CMD_QUERY && cmd <= CMD_DOWNLOAD;
}

// The status a command may leave behind when it is accepted.
bool allowed_transition(uint16_t cmd, uint16_t before, uint16_t after) {
    if (before == after) return true;
    switch (cmd) {
        case CMD_START:
            return before == STATUS_IDLE && after == STATUS_RUNNING;
        case CMD_STOP:
            return before == STATUS_RUNNING && (after == STATUS_OK || after == STATUS_FAIL);
        case CMD_DOWNLOAD:
            return after == STATUS_DOWNLOAD;
        case CMD_RESET:
            return after == STATUS_IDLE;
        default:
            return false;
    }
}

// What a command may change, taken before it is handled.
struct Before {
    Before(const RunState& run, const LinkState& link)
        : status(run.status()),
          ser(link.fields.ser),
          baud(run.serial_baud.load()),
          fwr(link.fwr_file),
          loop_end(link.loop_end) {}
    uint16_t status;
    uint16_t ser;
    uint32_t baud;
    FwrFile fwr;
    bool loop_end;
};

void check_step(const HostCommand& command, const Answer& answer, const Before& before,
                const RunState& run, const LinkState& link) {
    const uint16_t cmd = command.cmd;
    const uint16_t ser_sent = command.ser;
    const Reply reply = answer.reply;
    const uint16_t error = answer.error;
    const uint16_t status = run.status();
    const uint16_t ser = link.fields.ser;
    FUZZ_CHECK(answer.cmd == cmd);
    FUZZ_CHECK(allowed_transition(cmd, before.status, status));

    if (cmd == CMD_RESET) {
        FUZZ_CHECK(ser == 0 && reply == Reply::None);
    } else if (numbered(cmd) && reply == Reply::Ack) {
        FUZZ_CHECK(ser == static_cast<uint16_t>(before.ser + 1));
    } else {
        FUZZ_CHECK(ser == before.ser);
    }

    if (numbered(cmd) && ser_sent != before.ser) {
        FUZZ_CHECK(reply == Reply::Nak && error == ERR_SEQUENCE);
    }
    if (reply == Reply::Nak) {
        FUZZ_CHECK(numbered(cmd));
        FUZZ_CHECK(error == ERR_SEQUENCE || error == ERR_BAUD || error == ERR_STATE);
        FUZZ_CHECK(status == before.status);
    } else if (status == STATUS_FAIL && before.status != STATUS_FAIL) {
        FUZZ_CHECK(error == ERR_RUN_FAILED);
    } else {
        FUZZ_CHECK(error == 0);
    }
    if (cmd == CMD_SET_PARAMETER && reply == Reply::Ack) {
        FUZZ_CHECK(run.serial_baud.load() <= MAX_BAUD);
    } else {
        // A refused set-parameter command changes neither the rate nor the file name.
        FUZZ_CHECK(run.serial_baud.load() == before.baud && link.fwr_file == before.fwr);
    }
    if (cmd == CMD_STOP && reply == Reply::Ack) {
        FUZZ_CHECK(link.stop_failed == (status == STATUS_FAIL));
    }
    if (cmd == CMD_POLLING) FUZZ_CHECK(reply != Reply::Nak);
    if (reply == Reply::None) FUZZ_CHECK(!numbered(cmd));
    // Only a stop ends the loop.
    if (link.loop_end && !before.loop_end) FUZZ_CHECK(cmd == CMD_STOP && reply == Reply::Ack);
}

// The frame the loop sends for the reply: an answer, or (no reply) the next report's record.
void check_frame(const Answer& answer, LinkState& link, RunState& run, InertPlatform& platform) {
    const Reply reply = answer.reply;
    const uint16_t cmd = answer.cmd;
    const WifiTexts texts = read_wifi_texts(wifi_files().paths());
    const ResponseBytes bytes = reply == Reply::None
                                    ? build_response_frame(RSP_DIAG, link.fields, run, texts)
                                    : answer_frame(link, run, platform, answer, texts);
    static_assert(sizeof bytes == RESPONSE_FRAME_SIZE);
    const ResponseFrame f = decode_response(bytes);
    FUZZ_CHECK(f.status == run.status() && f.ser == link.fields.ser && f.error == answer.error);
    FUZZ_CHECK(field_text(f.wlan0_ssid) == "burnin1234\n" && field_text(f.wlan1_ssid).empty());
    if (reply == Reply::None) return;
    FUZZ_CHECK(f.code == ((reply == Reply::Ack ? ACK_BIT : NAK_BIT) | cmd));
    FUZZ_CHECK(!link.alive_pending);
    const int32_t end = run.status() == STATUS_RUNNING ? platform.last_reading() : link.stop_time;
    FUZZ_CHECK(f.burntime == static_cast<uint32_t>(end) - static_cast<uint32_t>(link.start_time));
}

}  // namespace
}  // namespace ovik

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ovik::fuzz::silence_stdout();
    ovik::quiet.store(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovik;
    if (size < 2) return 0;
    const uint8_t setup = data[0];
    const uint32_t clock_step = (static_cast<uint32_t>(data[1]) << 24) | 7U;
    data += 2;
    size -= 2;

    // The start command's pauses pass on this clock without waiting.
    testsupport::FakeClock clock;
    RunState run;
    LinkState link(setup & 1U);
    InertPlatform platform((setup & 2U) != 0, clock_step);

    for (std::size_t k = 0; (k + 1) * COMMAND_FRAME_SIZE <= size; ++k) {
        if (k < 6 && (setup & (4U << k)) != 0) run.mark_failed();
        const HostCommand command = parse_command_frame(data + k * COMMAND_FRAME_SIZE);
        const Before before(run, link);
        const Answer answer = handle_command(command, link, run, platform);
        link.fields.error = answer.error;
        check_step(command, answer, before, run, link);
        check_frame(answer, link, run, platform);
        // The loop ends at the end of this pass: no later frame reaches the handler.
        if (link.loop_end) break;
    }
    return 0;
}
