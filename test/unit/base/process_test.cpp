#include "base/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

#include "base/console.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::TempDir;

std::string read_all(std::FILE* f) {
    std::string out;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) out += line;
    return out;
}

// PATH set to a value, or unset for nullptr, while it lives.
class ScopedPath {
  public:
    explicit ScopedPath(const char* value) {
        if (const char* old = std::getenv("PATH")) saved_ = old;
        set(value);
    }
    ~ScopedPath() { set(saved_ ? saved_->c_str() : nullptr); }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

  private:
    static void set(const char* value) {
        if (value != nullptr) {
            ::setenv("PATH", value, 1);
        } else {
            ::unsetenv("PATH");
        }
    }
    std::optional<std::string> saved_;
};

// The agent's quiet flag set while it lives.
class ScopedQuiet {
  public:
    explicit ScopedQuiet(bool on) : previous_(quiet.exchange(on ? 1 : 0)) {}
    ~ScopedQuiet() { quiet.store(previous_); }
    ScopedQuiet(const ScopedQuiet&) = delete;
    ScopedQuiet& operator=(const ScopedQuiet&) = delete;

  private:
    int previous_;
};

// Standard error (ours and the children's) goes into a file while it lives.
class StderrCapture {
  public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        std::fflush(stderr);
        saved_.reset(::dup(STDERR_FILENO));
        const UniqueFd file(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        EXPECT_TRUE(saved_.valid() && file.valid()) << std::strerror(errno);
        ::dup2(file.get(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() {
        restore();
        return TempDir::read(path_);
    }

  private:
    void restore() {
        if (!saved_.valid()) return;
        std::fflush(stderr);
        ::dup2(saved_.get(), STDERR_FILENO);
        saved_.reset();
    }
    std::string path_;
    UniqueFd saved_;
};

TEST(Process, ArgumentsReachTheProgramUnchanged) {
    TempDir dir;
    const std::string script =
        dir.write_script("args", "for a in \"$@\"; do echo \"[$a]\"; done\n");
    ChildProcess::Options options;
    options.capture_stdout = true;
    auto child = ChildProcess::spawn({script, "x;reboot", "$(id)", "a b", "`ls`"}, options);
    ASSERT_TRUE(child.has_value());
    const std::string out = read_all(child->output());
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(out, "[x;reboot]\n[$(id)]\n[a b]\n[`ls`]\n");
}

TEST(Process, ExitStatusesAndStartFailures) {
    TempDir dir;
    const ScopedQuiet quiet_runner(true);
    EXPECT_EQ(run_command({dir.write_script("ok", "exit 0\n")}), 0);
    EXPECT_EQ(run_command({dir.write_script("three", "exit 3\n")}), 3);
    EXPECT_EQ(run_command({dir.write_script("killed", "kill -TERM $$\n")}), 128 + 15);
    EXPECT_EQ(run_command({dir.file("missing-program")}), -1);
    EXPECT_EQ(run_command({}), -1);
}

// A script without "#!" runs as /bin/sh's script, with its own path as $0 and the arguments
// unchanged, whether named by its path or found in PATH.
TEST(Process, ScriptWithoutInterpreterLineRunsThroughShell) {
    TempDir dir;
    const std::string script =
        dir.write("plain", "echo \"[$0]\"\nfor a in \"$@\"; do echo \"[$a]\"; done\nexit 4\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const std::string folder = std::filesystem::path(script).parent_path().string();
    const ScopedPath path(("/nonexistent:" + folder).c_str());
    const ScopedQuiet quiet_runner(true);
    for (const std::string& name : {script, std::string("plain")}) {
        SCOPED_TRACE(name);
        ChildProcess::Options options;
        options.capture_stdout = true;
        auto child = ChildProcess::spawn({name, "x;reboot", "$(id)", "a b", ""}, options);
        ASSERT_TRUE(child.has_value()) << std::strerror(errno);
        const std::string out = read_all(child->output());
        EXPECT_EQ(child->wait(), 4);
        EXPECT_EQ(out, "[" + script + "]\n[x;reboot]\n[$(id)]\n[a b]\n[]\n");
    }
}

TEST(Process, SearchPath) {
    struct Case {
        const char* path_variable;
        std::string_view expected;
    };
    for (const Case& c : {Case{nullptr, "/default"}, Case{"", "/default"},
                          Case{"/opt/bin:/bin", "/opt/bin:/bin"}}) {
        EXPECT_EQ(search_path(c.path_variable, "/default"), c.expected)
            << (c.path_variable != nullptr ? c.path_variable : "(unset)");
    }
    EXPECT_EQ(search_path(nullptr), "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
}

// Directories in order; where the name is missing, not executable or not a file, the next.
TEST(Process, ProgramsAreFoundInTheSearchPath) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("empty"));
    std::filesystem::create_directories(dir.file("noexec"));
    std::filesystem::create_directories(dir.file("subdir/prog"));
    std::filesystem::create_directories(dir.file("bin"));
    std::filesystem::create_directories(dir.file("later"));
    dir.write("noexec/prog", "#!/bin/sh\n");
    dir.write_script("bin/prog", "exit 0\n");
    dir.write_script("later/prog", "exit 0\n");
    dir.write("not-a-dir", "");
    const std::string empty = dir.file("empty");
    const std::string noexec = dir.file("noexec");
    const std::string bin = dir.file("bin");
    const std::string later = dir.file("later");

    struct Case {
        std::string name;
        std::string search;
        std::optional<std::string> found;
        int error;
    };
    const Case cases[] = {
        {"prog", "/nonexistent:" + empty + ":" + noexec + ":" + bin + ":" + later, bin + "/prog",
         0},
        {"prog", dir.file("subdir") + ":" + dir.file("not-a-dir") + ":" + later, later + "/prog",
         0},
        // PATH unset or empty: the default's directories.
        {"prog", std::string(search_path(nullptr, empty + ":" + later)), later + "/prog", 0},
        {"prog", std::string(search_path("", noexec + ":" + bin)), bin + "/prog", 0},
        {"prog", empty + ":" + dir.file("not-a-dir"), std::nullopt, ENOENT},
        {"prog", empty + ":" + noexec, std::nullopt, EACCES},
        {"", bin, std::nullopt, ENOENT},
        {"/any/path/prog", empty, "/any/path/prog", 0},
        {"./prog", empty, "./prog", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " in " + c.search);
        errno = 0;
        const auto found = find_program(c.name, c.search);
        EXPECT_EQ(found, c.found);
        if (!c.found) {
            EXPECT_EQ(errno, c.error);
        }
    }
}

// PATH unset or empty: children get the default search path; a set PATH reaches them as it is.
TEST(Process, ChildrenGetTheDefaultPathWhenPathIsUnsetOrEmpty) {
    TempDir dir;
    const std::string default_path(DEFAULT_SEARCH_PATH);
    struct Case {
        const char* path_variable;
        std::string expected;
    };
    for (const Case& c : {Case{nullptr, default_path}, Case{"", default_path},
                          Case{"/nonexistent:/usr/bin:/bin", "/nonexistent:/usr/bin:/bin"}}) {
        SCOPED_TRACE(c.path_variable != nullptr ? c.path_variable : "(unset)");
        const std::string out = dir.file("env.txt");
        {
            const ScopedPath path(c.path_variable);
            ASSERT_EQ(run_command_to_file({"/usr/bin/env"}, out), 0);
        }
        std::istringstream lines(TempDir::read(out));
        std::vector<std::string> path_lines;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("PATH=", 0) == 0) path_lines.push_back(line);
        }
        EXPECT_EQ(path_lines, std::vector<std::string>{"PATH=" + c.expected});
    }
}

// A start failure or a status the program table does not accept is named on standard error
// with the command; nothing is said in quiet mode.
TEST(Process, FailuresAreNamedOnStandardError) {
    TempDir dir;
    const std::string ok = dir.write_script("ok", "exit 0\n");
    const std::string three = dir.write_script("three", "exit 3\n");
    const std::string killed = dir.write_script("killed", "kill -TERM $$\n");
    const std::string no_lines = dir.write("no-lines", "");
    const std::string missing_file = dir.file("missing");
    const std::string unwritable = dir.file("no-such-dir/out.txt");
    const std::string enoent = std::strerror(ENOENT);

    struct Case {
        const char* what;
        std::function<int()> run;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"success", [&] { return run_command({ok}); }, 0, ""},
        {"exit status",
         [&] {
             return run_command({three, "a b", "x;y"});
         },
         3, "ovikburn: " + three + " a b x;y: exit status 3\n"},
        {"signal", [&] { return run_command({killed}); }, 128 + SIGTERM,
         "ovikburn: " + killed + ": killed by signal 15\n"},
        {"not found",
         [&] {
             return run_command({"ovik-no-such-program", "-x"});
         },
         -1, "ovikburn: cannot start ovik-no-such-program -x: " + enoent + "\n"},
        {"output file",
         [&] {
             return run_command_to_file({ok, "arg"}, unwritable);
         },
         -1, "ovikburn: cannot start " + ok + " arg: " + unwritable + ": " + enoent + "\n"},
        {"grep without a match",
         [&] {
             return run_command({"grep", "-q", "x", no_lines});
         },
         1, ""},
        {"grep error",
         [&] {
             return run_command({"grep", "-s", "x", missing_file});
         },
         2, "ovikburn: grep -s x " + missing_file + ": exit status 2\n"},
        {"pipeline",
         [&] {
             return run_pipeline_to_file({three}, {"grep", "x"}, dir.file("p"));
         },
         1, "ovikburn: " + three + ": exit status 3\n"},
        {"child left to its destructor",
         [&] {
             auto child = ChildProcess::spawn({three});
             return child ? 0 : -1;
         },
         0, "ovikburn: " + three + ": exit status 3\n"},
    };
    for (const Case& c : cases) {
        for (const bool quiet_mode : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (quiet_mode ? ", quiet" : ""));
            const ScopedQuiet scoped_quiet(quiet_mode);
            StderrCapture err(dir.file("stderr.txt"));
            const int status = c.run();
            const std::string text = err.text();
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(text, quiet_mode ? "" : c.message);
        }
    }
}

// wait() gives the decoded status, raw_status() the wait status as pclose would return it.
TEST(Process, RawAndDecodedWaitStatus) {
    TempDir dir;
    const ScopedQuiet quiet_runner(true);
    struct Case {
        const char* body;
        int status;
        int raw;
    };
    for (const Case& c : {Case{"exit 0\n", 0, 0}, Case{"exit 1\n", 1, 256},
                          Case{"exit 3\n", 3, 3 * 256}, Case{"kill -TERM $$\n", 128 + 15, 15}}) {
        SCOPED_TRACE(c.body);
        auto child = ChildProcess::spawn({dir.write_script("s", c.body)});
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(child->raw_status(), -1);
        EXPECT_EQ(child->wait(), c.status);
        EXPECT_EQ(child->raw_status(), c.raw);
        EXPECT_EQ(child->wait(), c.status);
        EXPECT_EQ(decode_wait_status(c.raw), c.status);
    }
}

TEST(Process, RedirectionsAreDoneByOurCode) {
    TempDir dir;
    const std::string script = dir.write_script("both", "echo out; echo err >&2\n");
    const std::string out = dir.file("out.txt");
    dir.write("out.txt", "old content that must go\n");
    EXPECT_EQ(run_command_to_file({script}, out), 0);
    EXPECT_EQ(TempDir::read(out), "out\n");

    ChildProcess::Options merged;
    merged.capture_stdout = true;
    merged.merge_stderr = true;
    auto child = ChildProcess::spawn({script}, merged);
    ASSERT_TRUE(child.has_value());
    const std::string text = read_all(child->output());
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(text, "out\nerr\n");
}

TEST(Process, RenderedCommandLine) {
    EXPECT_EQ(render_command({"ifconfig", "eth0", "192.180.5.222", "netmask", "255.255.0.0", "up"}),
              "ifconfig eth0 192.180.5.222 netmask 255.255.0.0 up");
}

}  // namespace
}  // namespace ovik
