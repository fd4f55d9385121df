// What a device check reads and writes besides its own devices, fresh for each test: the
// configuration, the run's state and an error log in a scratch directory.
#pragma once

#include <string>
#include <vector>

#include "output_capture.h"
#include "plan/check_context.h"
#include "temp_dir.h"

namespace ovik::testsupport {

struct CheckWorld {
    TempDir dir;
    Configuration config;
    RunState run;
    ErrorLog log{dir.file("ErrorLog.txt")};

    CheckContext context() { return {config, run, log}; }

    std::string log_text() const { return TempDir::read(log.path()); }
    // The error log's messages without their time stamps, each with its own line end.
    std::vector<std::string> log_messages() const {
        std::vector<std::string> messages;
        const std::string text = log_text();
        std::size_t at = 0;
        while ((at = text.find(" - ", at)) != std::string::npos) {
            at += 3;
            const std::size_t next = text.find('\n', at);
            messages.push_back(text.substr(at, next - at + 1));
            at = next;
        }
        return messages;
    }
};

// What a call of a check returned and printed. Only the call is captured, so that the
// assertions on it still reach the console.
struct Outcome {
    int result;
    std::string out;
};
template <typename Call>
Outcome capture_call(Call&& call) {
    OutputCapture capture;
    const int result = call();
    return {result, capture.text()};
}

}  // namespace ovik::testsupport
