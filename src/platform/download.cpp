#include "platform/download.h"

#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"

namespace ovik {

Argv upgrade_command(const char* file, const std::string& script) {
    return {script, "firmware", file, "tftp"};
}

namespace {

bool has_error_word(const char* line) {
    static constexpr const char* words[] = {"error", "fail", "Error", "Fail", "ERROR", "FAIL"};
    for (const char* w : words) {
        if (std::strstr(line, w) != nullptr) return true;
    }
    return false;
}

}  // namespace

void follow_upgrade_output(std::FILE* output, const char* file, std::atomic<int32_t>& progress) {
    constexpr auto r = std::memory_order_relaxed;
    char line[1024];
    int line_number = 0;
    while (std::fgets(line, sizeof line, output) != nullptr) {
        ++line_number;
        std::printf(" - %s", line);
        if (has_error_word(line)) {
            // The number is the output line that reported the failure.
            std::printf("Error: Upgrade FWR file %s fail. (%d)\n", file, line_number);
            progress.store(-1, r);
            return;
        }
        if (progress.load(r) <= 94) progress.fetch_add(1, r);
    }
}

void run_upgrade(const Argv& command, const char* file, std::atomic<int32_t>& progress) {
    constexpr auto r = std::memory_order_relaxed;
    // Standard error joins standard output, as "2>&1" would.
    const std::string shown = render_command(command) + " 2>&1";
    ChildProcess::Options options;
    options.capture_stdout = true;
    options.merge_stderr = true;
    auto child = ChildProcess::spawn(command, options);
    if (!child) {
        std::printf("Error: popen(%s) fail.\n", shown.c_str());
        progress.store(-1, r);
    } else {
        follow_upgrade_output(child->output(), file, progress);
        // The status shows as the wait status itself (256 for exit 1), as pclose returns it.
        if (child->wait() != 0) {
            std::printf("Error: pclose(%s) fail. (%d)\n", shown.c_str(), child->raw_status());
            progress.store(-1, r);
        }
    }
    if (progress.load(r) < 0) return;
    progress.fetch_add(1, r);
    while (progress.load(r) <= 99) {
        sleep_ms(100);
        progress.fetch_add(1, r);
    }
}

Downloader::~Downloader() {
    if (thread_.joinable()) thread_.join();
}

bool Downloader::start(const FwrFile& file) {
    bool expected = false;
    if (!running_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return false;
    }
    if (thread_.joinable()) thread_.join();
    // The thread keeps its own copy of the name: a later set-parameter command may change the
    // run's while the upgrade runs.
    thread_ = std::thread([this, file] {
        while (download_request.load(std::memory_order_acquire) == 0) sleep_s(1);
        say("Start TFTP download FWR file %s\n", file.data());
        run_upgrade(upgrade_command(file.data(), script_), file.data(), download_progress);
        running_.store(false, std::memory_order_release);
    });
    return true;
}

}  // namespace ovik
