// Captures what the code under test writes to a standard stream (stdout or stderr) by
// pointing the descriptor at a temporary file for the capture's life.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/unique_fd.h"

namespace ovik::testsupport {

class OutputCapture {
  public:
    // stream: stdout or stderr.
    explicit OutputCapture(std::FILE* stream = stdout) : stream_(stream), file_(std::tmpfile()) {
        std::fflush(stream_);
        saved_.reset(::dup(::fileno(stream_)));
        ::dup2(::fileno(file_.get()), ::fileno(stream_));
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    ~OutputCapture() { restore(); }

    // Everything written so far; the capture ends.
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_.get());
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, file_.get())) > 0) out.append(buf, n);
        return out;
    }

  private:
    void restore() {
        if (!saved_.valid()) return;
        std::fflush(stream_);
        ::dup2(saved_.get(), ::fileno(stream_));
        saved_.reset();
    }

    std::FILE* stream_;
    UniqueFile file_;
    UniqueFd saved_;
};

}  // namespace ovik::testsupport
