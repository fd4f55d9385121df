#include "base/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace ovik {

std::string render_command(const Argv& argv) {
    std::string line;
    for (const auto& arg : argv) {
        if (!line.empty()) line += ' ';
        line += arg;
    }
    return line;
}

int decode_wait_status(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

namespace {

// posix_spawn's file actions, owned.
class FileActions {
  public:
    FileActions() { ::posix_spawn_file_actions_init(&fa_); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&fa_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &fa_; }

  private:
    posix_spawn_file_actions_t fa_{};
};

}  // namespace

std::optional<ChildProcess> ChildProcess::spawn(const Argv& argv, const Options& options) {
    if (argv.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    FileActions actions;
    UniqueFd read_end;
    UniqueFd write_end;
    if (options.capture_stdout) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
        ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
    } else if (options.stdout_fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), options.stdout_fd, STDOUT_FILENO);
    } else if (!options.stdout_path.empty()) {
        ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO,
                                           options.stdout_path.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (options.stdin_fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), options.stdin_fd, STDIN_FILENO);
    }
    if (options.merge_stderr) {
        ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    }

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0) {
        errno = rc;
        return std::nullopt;
    }
    write_end.reset();
    UniqueFile output;
    if (read_end.valid()) {
        output.reset(::fdopen(read_end.get(), "r"));
        if (output) {
            (void)read_end.release();
        }
    }
    return ChildProcess(pid, std::move(output));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), output_(std::move(other.output_)), status_(other.status_) {
    other.pid_ = -1;
}

int ChildProcess::wait() {
    output_.reset();
    if (pid_ < 0) return status_;
    int wstatus = 0;
    pid_t r = -1;
    do {
        r = ::waitpid(pid_, &wstatus, 0);
    } while (r < 0 && errno == EINTR);
    status_ = r == pid_ ? decode_wait_status(wstatus) : -1;
    pid_ = -1;
    return status_;
}

ChildProcess::~ChildProcess() {
    wait();
}

int run_command(const Argv& argv) {
    auto child = ChildProcess::spawn(argv);
    if (!child) return -1;
    return child->wait();
}

int run_command_to_file(const Argv& argv, const std::string& path) {
    ChildProcess::Options options;
    options.stdout_path = path;
    auto child = ChildProcess::spawn(argv, options);
    if (!child) return -1;
    return child->wait();
}

}  // namespace ovik

namespace ovik {

int run_pipeline_to_file(const Argv& first, const Argv& second, const std::string& path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    ChildProcess::Options reader;
    reader.stdin_fd = read_end.get();
    reader.stdout_path = path;
    auto second_child = ChildProcess::spawn(second, reader);
    read_end.reset();
    ChildProcess::Options writer;
    writer.stdout_fd = write_end.get();
    auto first_child = ChildProcess::spawn(first, writer);
    // Only the children hold the pipe now, so the reader sees its end when the writer ends.
    write_end.reset();
    if (first_child) first_child->wait();
    if (!second_child) return -1;
    const int status = second_child->wait();
    return first_child ? status : -1;
}

}  // namespace ovik
