// Firmware download: the image's upgrade script fetches and installs the shipping firmware on a
// thread of its own; its output lines become a progress figure that the host link reports.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "base/process.h"
#include "wire/frames.h"

namespace ovik {

inline constexpr const char* UPGRADE_SCRIPT = "/usr/sbin/mp_upgrade.sh";

// The firmware file name from the PC: its 16 bytes and a terminator.
using FwrFile = std::array<char, wire::FWR_SIZE + 1>;

// The upgrade script's argument vector for a file name: the name is one argument, whatever
// characters it holds.
Argv upgrade_command(const char* file, const std::string& script = UPGRADE_SCRIPT);

// Runs one upgrade: the script's output drives progress (one step per line, at most 95),
// an error word or a non-zero exit makes it -1, and success ramps it to 100 in 100 ms steps.
void run_upgrade(const Argv& command, const char* file, std::atomic<int32_t>& progress);

// Reads the script's output, echoing each line: every line adds 1 to progress while it is 94
// or less; a line holding an error word sets it to -1 and ends the reading.
void follow_upgrade_output(std::FILE* output, const char* file, std::atomic<int32_t>& progress);

// Owner of the download thread. At most one upgrade runs at a time: a download command that
// arrives while one runs starts nothing new.
class Downloader {
  public:
    explicit Downloader(std::string script = UPGRADE_SCRIPT) : script_(std::move(script)) {}
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;
    ~Downloader();

    // Starts the thread for the file unless one is running; true when it started one. The
    // thread waits for release().
    bool start(const FwrFile& file);
    // Sets download_request: the waiting thread runs the upgrade.
    void release() { download_request.store(1, std::memory_order_release); }
    bool running() const { return running_.load(std::memory_order_acquire); }
    // 0..100 while the download runs and when it has finished, -1 when it failed. Never reset.
    int32_t progress() const { return download_progress.load(std::memory_order_relaxed); }

  private:
    std::string script_;
    std::atomic<int32_t> download_progress{0};
    std::atomic<uint32_t> download_request{0};
    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace ovik
