// The run control: what each command of the PC does to the run, what the agent answers, and
// the end of the run that shows the verdict.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>

#include "base/clock.h"
#include "hostlink/frames.h"
#include "plan/config.h"
#include "plan/testresult.h"
#include "platform/download.h"

namespace ovik {

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
    LinkFields fields;         // what every frame carries besides the record
    uint32_t downloadfwr = 0;  // a download is expected; the PC's "na" file name clears it
    FwrFile fwr_file{};        // the firmware file name from set parameter
    // The verdict that the stop's answer carried: the end of the run shows this one.
    std::optional<bool> stop_failed;

    explicit LinkState(uint32_t expect_download = 0);
    // The PC's port on every host of the network: where announcements go.
    static sockaddr_in broadcast_peer();
};

enum class Reply { None, Ack, Nak };

// What the agent says to a command: whether it answers, with an ACK or a NAK, and the error
// that this frame and the later ones carry.
struct Answer {
    uint16_t cmd = 0;  // the command answered
    Reply reply = Reply::None;
    uint16_t error = 0;
};

// The command handler: acts on a full command frame and says what to answer.
Answer handle_command(const HostCommand& command, LinkState& link, RunState& run,
                      RunPlatform& platform);

// Whether the run ends failed: the verdict that the stop's answer carried, else the run's own
// failure flag.
bool verdict_failed(const LinkState& link, const RunState& run);

// The verdict part of the end of the run: restore the PHY, show the verdict, write mm_flags
// for a pass.
void show_verdict(const LinkState& link, RunState& run, const Configuration& config);

}  // namespace ovik
