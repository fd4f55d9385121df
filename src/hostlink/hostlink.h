// hostlink: the UDP link to the test PC. The agent announces itself while idle, answers each
// command frame at once, and sends status reports while a run or a download is active; the
// command handlers here drive the run's status, and the end of the run shows the verdict.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "plan/config.h"
#include "plan/testresult.h"
#include "platform/download.h"
#include "wire/frames.h"

namespace ovik {

// A command frame from the PC, numbers in host order.
using HostCommand = wire::CommandFrame;

// Converts the first 128 received bytes into a command.
HostCommand parse_command_frame(const uint8_t* bytes);

// Files the device image writes with the Wi-Fi names the PC sees in every frame.
struct WifiTextFiles {
    const char* wlan0_ssid = "/dev/shm/wlan0_ssid";
    const char* wlan0_channel = "/dev/shm/wlan0_channel";
    const char* wlan1_ssid = "/dev/shm/wlan1_ssid";
    const char* wlan1_channel = "/dev/shm/wlan1_channel";
};

// The four Wi-Fi texts of a frame, each as its field holds it.
struct WifiTexts {
    std::array<char, wire::SSID_FIELD_SIZE> wlan0_ssid{};
    std::array<char, wire::CHANNEL_FIELD_SIZE> wlan0_channel{};
    std::array<char, wire::SSID_FIELD_SIZE> wlan1_ssid{};
    std::array<char, wire::CHANNEL_FIELD_SIZE> wlan1_channel{};
};

// The first line of each file as a line reader gives it for a buffer of its field's size; a
// missing or empty file gives the empty text.
WifiTexts read_wifi_texts(const WifiTextFiles& files = WifiTextFiles{});

// The record in its network form, with the four Wi-Fi texts.
wire::ResponseBytes build_response_frame(const TestResult& testresult, const WifiTexts& texts);

// What the run control needs from the device; the system's own is the hardware clock and the
// download thread, tests give their own.
class RunPlatform {
  public:
    virtual ~RunPlatform() = default;
    virtual int32_t read_clock() = 0;
    virtual int set_clock(int32_t t) = 0;
    virtual void fill_time(uint8_t datetime[6]) = 0;
    // Starts the download thread for the file (nothing new when one runs already); it waits
    // for release_download().
    virtual void start_download(const FwrFile& file) = 0;
    virtual void release_download() = 0;
    virtual int32_t download_progress() = 0;
    // The Wi-Fi texts of every frame: the device image writes them into files, read anew for
    // each frame.
    virtual WifiTexts wifi_texts() { return read_wifi_texts(); }
};

// The device's own: hardware clock, download thread.
class DevicePlatform final : public RunPlatform {
  public:
    int32_t read_clock() override;
    int set_clock(int32_t t) override;
    void fill_time(uint8_t datetime[6]) override;
    void start_download(const FwrFile& file) override;
    void release_download() override;
    int32_t download_progress() override;

  private:
    Downloader downloader_;
};

// State of the link loop and of the run it drives, besides the shared record.
struct LinkState {
    sockaddr_in peer{};         // destination of every response and report
    bool alive_pending = true;  // announce while idle and nobody has been answered
    MsStamp last_report{};      // time of the last status report
    bool loop_end = false;
    int32_t start_time = 0;  // hardware-clock readings of the start and stop commands
    int32_t stop_time = 0;
    HostCommand hostcommand{};  // the last command frame
    uint32_t downloadfwr = 0;   // a download is expected; the PC's "na" file name clears it
    FwrFile fwr_file{};         // the firmware file name from set parameter
    // The verdict that the stop's answer carried: the end of the run shows this one.
    std::optional<bool> stop_failed;

    explicit LinkState(uint32_t expect_download = 0);
};

enum class Reply { None, Ack, Nak };

// The command handler: acts on link.hostcommand, and says what to send back. The record's
// error has been cleared by the caller.
Reply handle_command(LinkState& link, RunState& run, RunPlatform& platform);

// The ACK or NAK frame for link.hostcommand: the record with the answer's code, the clock's
// date and the burn time. A PC has been answered, so the announcements stop.
wire::ResponseBytes answer_frame(LinkState& link, RunState& run, RunPlatform& platform, Reply reply,
                                 const WifiTexts& texts);

// Opens the host link socket on eth0, port 1033, bound to the local address given (network
// order; any by default); an invalid descriptor when it cannot be set up (the reason has been
// printed).
UniqueFd open_host_link_socket(uint32_t local_address = INADDR_ANY);

// The steps of one pass of the link loop. host_link_loop runs them in turn; a program that
// serves many links on one thread runs them for each link as its socket and timers say.
//
// Top of the pass: the announcement while idle and nobody has been answered, a status report
// while running or downloading when 100 ms have passed since the last.
void announce_or_report(const UniqueFd& sock, LinkState& link, RunState& run,
                        RunPlatform& platform);
// How long the pass waits for a datagram.
int link_wait_ms(const RunState& run);
// Receives one datagram from the readable socket; its sender becomes the peer, and a full
// frame goes to the command handler. What to send back.
Reply receive_command(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform);
// Sends the answer to link.hostcommand to the peer.
void send_answer(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform,
                 Reply reply);

// Serves the link until a verdict (or the end of a download) ends it.
void host_link_loop(const UniqueFd& sock, LinkState& link, RunState& run, RunPlatform& platform);

// Whether the run ends failed: the verdict that the stop's answer carried, else the run's own
// failure flag.
bool verdict_failed(const LinkState& link, const RunState& run);

// The verdict part of the end of the run: restore the PHY, show the verdict, write mm_flags
// for a pass.
void show_verdict(const LinkState& link, RunState& run, const Configuration& config);

// After the loop: close the socket, show the verdict, then sleep until power-off.
[[noreturn]] void end_of_run(UniqueFd sock, const LinkState& link, RunState& run,
                             const Configuration& config);

}  // namespace ovik
