// Outside programs: started from an argument vector, never through a shell, so that text from
// the network or the configuration can only ever be one argument of the program we name.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace ovik {

using Argv = std::vector<std::string>;

// The command line as the console and the logs show it: the arguments joined by blanks.
std::string render_command(const Argv& argv);

// Exit status of a finished child: its exit code, 128 + signal number when a signal ended it.
int decode_wait_status(int wstatus);

// One running child process. The owner waits for it; the destructor closes the output pipe
// and waits, so no child is ever left as a zombie.
class ChildProcess {
  public:
    struct Options {
        bool capture_stdout = false;  // output() reads the child's standard output
        bool merge_stderr = false;    // standard error goes where standard output goes
        std::string stdout_path;      // standard output into this file (created, truncated)
        int stdout_fd = -1;           // standard output into this descriptor (a pipe's end)
        int stdin_fd = -1;            // standard input from this descriptor
    };

    // Starts argv[0] (looked up in PATH when it has no slash). nullopt when it cannot be
    // started; errno then says why.
    static std::optional<ChildProcess> spawn(const Argv& argv, const Options& options);
    static std::optional<ChildProcess> spawn(const Argv& argv) { return spawn(argv, Options{}); }

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The child's output when captured, else nullptr.
    std::FILE* output() { return output_.get(); }
    // Closes the output and waits for the child; returns decode_wait_status. Only the first
    // call waits; later calls return the same status.
    int wait();
    pid_t pid() const { return pid_; }

  private:
    ChildProcess(pid_t pid, UniqueFile output) : pid_(pid), output_(std::move(output)) {}
    pid_t pid_ = -1;
    UniqueFile output_;
    int status_ = -1;
};

// Runs argv to its end with the agent's own standard output and error. Returns the exit
// status, or -1 when it could not be started.
int run_command(const Argv& argv);

// The same with standard output written into path (the redirection "> path").
int run_command_to_file(const Argv& argv, const std::string& path);

// "first | second > path": the pipe and the redirection are made here, not by a shell.
// Returns the second program's exit status, or -1 when either could not be started.
int run_pipeline_to_file(const Argv& first, const Argv& second, const std::string& path);

}  // namespace ovik
