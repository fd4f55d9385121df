// Outside programs: started from an argument vector, never through a shell, so that text from
// the network or the configuration can only ever be one argument of the program we name.
// Programs are found and started as the device's shell would find and start them, and every
// start failure or unexpected exit status is reported on standard error with the command.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace ovik {

using Argv = std::vector<std::string>;

// Where a program named without a slash is searched when PATH is unset or empty; the programs
// started then get it as their PATH too, so that the device's scripts find its sbin tools.
inline constexpr std::string_view DEFAULT_SEARCH_PATH =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The command line as the console and the logs show it: the arguments joined by blanks.
std::string render_command(const Argv& argv);

// Exit status of a finished child: its exit code, 128 + signal number when a signal ended it.
int decode_wait_status(int wstatus);

// The directories to search, given PATH's value (nullptr when PATH is unset): PATH itself, or
// fallback when it is unset or empty.
std::string_view search_path(const char* path_variable,
                             std::string_view fallback = DEFAULT_SEARCH_PATH);

// The file that starting name runs. A name with a slash is that file. Otherwise the first
// executable regular file called name in the directories of search_path, in order (an empty
// directory is the current one); a directory without it, or where it is not executable, is
// skipped. nullopt when there is none; errno is then EACCES when a match was skipped as not
// executable, else ENOENT (or the error that stopped the search).
std::optional<std::string> find_program(std::string_view name, std::string_view search_path);

// One running child process. The owner waits for it; the destructor closes the output pipe
// and waits, so no child is ever left as a zombie.
class ChildProcess {
  public:
    struct Options {
        bool capture_stdout = false;  // output() reads the child's standard output
        bool merge_stderr = false;    // standard error goes where standard output goes
        std::string stdout_path;      // standard output into this file (created, truncated)
                                      // even when the program cannot be started
        int stdout_fd = -1;           // standard output into this descriptor (a pipe's end)
        int stdin_fd = -1;            // standard input from this descriptor
        int stderr_fd = -1;           // standard error into this descriptor
        bool own_group = false;       // in a process group of its own, so that
                                      // kill_group() ends whatever it started too
        bool quiet = false;           // no message about its end: the caller reports it itself
    };

    // Starts argv[0]: searched with find_program in PATH (DEFAULT_SEARCH_PATH when PATH is
    // unset or empty) when it has no slash. A file the system cannot execute itself, a script
    // without a "#!" line, runs as /bin/sh with the file and argv[1]... as its arguments.
    // nullopt when it cannot be started: errno then says why, and standard error says so too
    // unless quiet (or options.quiet).
    static std::optional<ChildProcess> spawn(const Argv& argv, const Options& options);
    static std::optional<ChildProcess> spawn(const Argv& argv) { return spawn(argv, Options{}); }

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The child's output when captured, else nullptr.
    std::FILE* output() { return output_.get(); }
    // Closes the output and waits for the child; returns decode_wait_status, or -1 when it
    // could not be waited for. An exit status that program_table() does not accept for
    // argv[0] (only 0 for a program it does not list), an end by a signal or a failed wait is
    // reported on standard error unless quiet. Only the first call waits; later calls return
    // the same status.
    int wait();
    // The same when the child has ended already; nullopt, without waiting, while it runs.
    std::optional<int> try_wait();
    // Sends signal to the child's process group (own_group) or to the child alone.
    void kill_group(int signal) const;
    // The wait status as waitpid reports it, and pclose would return it (256 for exit status
    // 1); -1 before wait() or when the child could not be waited for.
    int raw_status() const { return raw_status_; }
    pid_t pid() const { return pid_; }
    const Argv& argv() const { return argv_; }

  private:
    ChildProcess(pid_t pid, UniqueFile output, Argv argv)
        : pid_(pid), output_(std::move(output)), argv_(std::move(argv)) {}
    std::optional<int> reap(int flags);
    pid_t pid_ = -1;
    UniqueFile output_;
    Argv argv_;
    bool own_group_ = false;
    bool quiet_ = false;
    int status_ = -1;
    int raw_status_ = -1;
};

// Runs argv to its end with the agent's own standard output and error. Returns the exit
// status, or -1 when it could not be started. Failures are reported as by ChildProcess.
int run_command(const Argv& argv);

// The same with standard output written into path (the redirection "> path"); path is
// created and emptied also when argv cannot be started.
int run_command_to_file(const Argv& argv, const std::string& path);

// "first | second > path": the pipe and the redirection are made here, not by a shell.
// Returns the second program's exit status, or -1 when either could not be started; first is
// not started when second cannot be, and path is made even then.
int run_pipeline_to_file(const Argv& first, const Argv& second, const std::string& path);

}  // namespace ovik
