#include "base/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "base/programs.h"

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

std::string_view search_path(const char* path_variable, std::string_view fallback) {
    if (path_variable == nullptr || *path_variable == '\0') return fallback;
    return path_variable;
}

std::optional<std::string> find_program(std::string_view name, std::string_view search_path) {
    if (name.find('/') != std::string_view::npos) return std::string(name);
    if (name.empty()) {
        errno = ENOENT;
        return std::nullopt;
    }
    bool skipped = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = search_path.find(':', start);
        std::string file(search_path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (!file.empty()) file += '/';
        file += name;
        // Checked before starting it: a failed start cannot always be told from a program
        // that ran and exited 127 (qemu-user, for one), so the search must not rely on it.
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0) {
            if (S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0) return file;
            skipped = true;
        } else if (errno == EACCES) {
            skipped = true;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    errno = skipped ? EACCES : ENOENT;
    return std::nullopt;
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

// The environment the children start with: the agent's own, with PATH set to the default
// search path when it is unset or empty.
class ChildEnvironment {
  public:
    explicit ChildEnvironment(const char* path_variable) {
        if (path_variable != nullptr && *path_variable != '\0') return;
        for (char** var = environ; *var != nullptr; ++var) {
            if (std::strncmp(*var, "PATH=", 5) != 0) vars_.push_back(*var);
        }
        vars_.push_back(path_.data());
        vars_.push_back(nullptr);
    }
    char* const* get() { return vars_.empty() ? environ : vars_.data(); }

  private:
    std::string path_ = "PATH=" + std::string(DEFAULT_SEARCH_PATH);
    std::vector<char*> vars_;
};

// posix_spawn wants the arguments as mutable C strings; it does not change them.
std::vector<char*> c_strings(const Argv& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Starts file with argv. A file the kernel will not execute, a script without "#!", runs as
// an argument of /bin/sh with the same arguments, as execvp does and the shell would.
int spawn_file(pid_t& pid, const std::string& file, const Argv& argv,
               const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes,
               char* const* envp) {
    const auto args = c_strings(argv);
    const int rc = ::posix_spawn(&pid, file.c_str(), actions, attributes, args.data(), envp);
    if (rc != ENOEXEC) return rc;
    Argv shell_argv{"/bin/sh", file};
    shell_argv.insert(shell_argv.end(), argv.begin() + 1, argv.end());
    const auto shell_args = c_strings(shell_argv);
    return ::posix_spawn(&pid, shell_argv[0].c_str(), actions, attributes, shell_args.data(), envp);
}

void report_start_failure(const Argv& argv, const std::string& what, int error) {
    if (is_quiet()) return;
    const std::string command = argv.empty() ? "an empty command" : render_command(argv);
    std::fprintf(stderr, "ovikburn: cannot start %s: %s%s\n", command.c_str(), what.c_str(),
                 std::strerror(error));
}

void report_end(const Argv& argv, int wstatus, int wait_error) {
    if (is_quiet()) return;
    const std::string command = render_command(argv);
    if (wait_error != 0) {
        std::fprintf(stderr, "ovikburn: cannot wait for %s: %s\n", command.c_str(),
                     std::strerror(wait_error));
    } else if (WIFSIGNALED(wstatus)) {
        std::fprintf(stderr, "ovikburn: %s: killed by signal %d\n", command.c_str(),
                     WTERMSIG(wstatus));
    } else if (!status_accepted(argv[0], decode_wait_status(wstatus))) {
        std::fprintf(stderr, "ovikburn: %s: exit status %d\n", command.c_str(),
                     decode_wait_status(wstatus));
    }
}

}  // namespace

std::optional<ChildProcess> ChildProcess::spawn(const Argv& argv, const Options& options) {
    auto fail = [&argv, &options](const std::string& what,
                                  int error) -> std::optional<ChildProcess> {
        if (!options.quiet) report_start_failure(argv, what, error);
        errno = error;
        return std::nullopt;
    };
    if (argv.empty()) return fail("", EINVAL);

    // The redirection is made before the program is looked for, as the shell makes it: the
    // file is created and emptied also when the program cannot be started, so that no reader
    // takes an earlier run's output for this one's.
    UniqueFd stdout_file;
    if (!options.capture_stdout && options.stdout_fd < 0 && !options.stdout_path.empty()) {
        stdout_file.reset(
            ::open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!stdout_file.valid()) {
            const int error = errno;
            return fail(options.stdout_path + ": ", error);
        }
    }

    const char* path_variable = ::getenv("PATH");
    const auto file = find_program(argv[0], search_path(path_variable));
    if (!file) {
        const int error = errno;
        return fail("", error);
    }

    FileActions actions;
    UniqueFile output;
    UniqueFd write_end;
    if (options.capture_stdout) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            const int error = errno;
            return fail("pipe: ", error);
        }
        UniqueFd read_end(fds[0]);
        write_end.reset(fds[1]);
        output.reset(::fdopen(read_end.get(), "r"));
        if (!output) {
            const int error = errno;
            return fail("pipe: ", error);
        }
        (void)read_end.release();
        ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
    } else if (options.stdout_fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), options.stdout_fd, STDOUT_FILENO);
    } else if (stdout_file.valid()) {
        ::posix_spawn_file_actions_adddup2(actions.get(), stdout_file.get(), STDOUT_FILENO);
    }
    if (options.stdin_fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), options.stdin_fd, STDIN_FILENO);
    }
    if (options.merge_stderr) {
        ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    } else if (options.stderr_fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), options.stderr_fd, STDERR_FILENO);
    }
    posix_spawnattr_t attributes{};
    ::posix_spawnattr_init(&attributes);
    if (options.own_group) {
        ::posix_spawnattr_setpgroup(&attributes, 0);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    }

    ChildEnvironment environment(path_variable);
    pid_t pid = -1;
    const int rc = spawn_file(pid, *file, argv, actions.get(), &attributes, environment.get());
    ::posix_spawnattr_destroy(&attributes);
    if (rc != 0) return fail("", rc);
    ChildProcess child(pid, std::move(output), argv);
    child.own_group_ = options.own_group;
    child.quiet_ = options.quiet;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_),
      output_(std::move(other.output_)),
      argv_(std::move(other.argv_)),
      own_group_(other.own_group_),
      quiet_(other.quiet_),
      status_(other.status_),
      raw_status_(other.raw_status_) {
    other.pid_ = -1;
}

std::optional<int> ChildProcess::reap(int flags) {
    if (pid_ < 0) return status_;
    int wstatus = 0;
    pid_t r = -1;
    do {
        r = ::waitpid(pid_, &wstatus, flags);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;  // still running (WNOHANG)
    const int wait_error = r == pid_ ? 0 : errno;
    pid_ = -1;
    raw_status_ = wait_error == 0 ? wstatus : -1;
    status_ = wait_error == 0 ? decode_wait_status(wstatus) : -1;
    if (!quiet_) report_end(argv_, wstatus, wait_error);
    return status_;
}

int ChildProcess::wait() {
    output_.reset();
    return *reap(0);
}

std::optional<int> ChildProcess::try_wait() {
    return reap(WNOHANG);
}

void ChildProcess::kill_group(int signal) const {
    if (pid_ > 0) ::kill(own_group_ ? -pid_ : pid_, signal);
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

int run_pipeline_to_file(const Argv& first, const Argv& second, const std::string& path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int error = errno;
        report_start_failure(first, "pipe: ", error);
        errno = error;
        return -1;
    }
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    ChildProcess::Options reader;
    reader.stdin_fd = read_end.get();
    reader.stdout_path = path;
    auto second_child = ChildProcess::spawn(second, reader);
    if (!second_child) return -1;
    read_end.reset();
    ChildProcess::Options writer;
    writer.stdout_fd = write_end.get();
    auto first_child = ChildProcess::spawn(first, writer);
    // Only the children hold the pipe now, so the reader sees its end when the writer ends.
    write_end.reset();
    if (!first_child) return -1;
    first_child->wait();
    return second_child->wait();
}

}  // namespace ovik
