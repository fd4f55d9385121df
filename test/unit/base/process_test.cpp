// The program runner: arguments pass unchanged, programs are found in PATH as the device's
// shell finds them, a script without "#!" runs through /bin/sh, and a status the program table
// does not accept is named on standard error with the command.
#include "base/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "base/console.h"
#include "output_capture.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::OutputCapture;
using testsupport::TempDir;

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

// The child's standard output and error, and its status.
std::pair<std::string, int> output_of(const Argv& argv) {
    ChildProcess::Options options;
    options.capture_stdout = true;
    options.merge_stderr = true;
    auto child = ChildProcess::spawn(argv, options);
    if (!child) return {std::strerror(errno), -1};
    std::string out;
    char line[256];
    while (std::fgets(line, sizeof line, child->output()) != nullptr) out += line;
    return {out, child->wait()};
}

class Process : public ::testing::Test {
  protected:
    void SetUp() override { quiet.store(1); }
    void TearDown() override { quiet.store(0); }
    TempDir dir;
};

// Named by its path or found in PATH, with its own path as $0 and the arguments unchanged.
TEST_F(Process, ScriptWithoutInterpreterLineRunsThroughShell) {
    const std::string body = "echo \"[$0]\"; for a in \"$@\"; do echo \"[$a]\"; done; exit 4\n";
    const std::string plain = dir.write("plain", body);
    std::filesystem::permissions(plain, std::filesystem::perms::owner_all);
    const std::string folder = std::filesystem::path(plain).parent_path().string();
    const ScopedPath path(("/nonexistent:" + folder).c_str());
    for (const std::string& name : {plain, std::string("plain")}) {
        EXPECT_EQ(output_of({name, "x;reboot", "$(id)", "a b", "`ls`", ""}),
                  std::make_pair("[" + plain + "]\n[x;reboot]\n[$(id)]\n[a b]\n[`ls`]\n[]\n", 4))
            << name;
    }
}

TEST_F(Process, ExitStatusesAndStartFailures) {
    quiet.store(0);
    OutputCapture err(stderr);
    EXPECT_EQ(run_command({dir.file("missing"), "-x"}), -1);
    EXPECT_EQ(run_command({}), -1);
    EXPECT_EQ(err.text(),
              "ovikburn: cannot start " + dir.file("missing") + " -x: " + std::strerror(ENOENT) +
                  "\novikburn: cannot start an empty command: " + std::strerror(EINVAL) + "\n");
}

// A start failure or a status the program table does not accept (only 0 for a program it does
// not list) is named on standard error with the command; nothing is said in quiet mode.
TEST_F(Process, FailuresAreNamedOnStandardError) {
    const std::string ok = dir.write_script("ok", "exit 0\n");
    const std::string three = dir.write_script("three", "exit 3\n");
    const std::string killed = dir.write_script("killed", "kill -TERM $$\n");
    const std::string none = dir.write("none", "");
    const std::string missing = dir.file("missing");
    const std::string enoent = std::strerror(ENOENT);
    struct Case {
        std::function<int()> run;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {[&] { return run_command({ok}); }, 0, ""},
        {[&] {
             return run_command({three, "a b", "x;y"});
         },
         3, "ovikburn: " + three + " a b x;y: exit status 3\n"},
        {[&] { return run_command({killed}); }, 128 + SIGTERM,
         "ovikburn: " + killed + ": killed by signal 15\n"},
        {[&] {
             return run_command({"ovik-no-such-program", "-x"});
         },
         -1, "ovikburn: cannot start ovik-no-such-program -x: " + enoent + "\n"},
        {[&] {
             return run_command_to_file({ok, "arg"}, dir.file("no-dir/out"));
         },
         -1,
         "ovikburn: cannot start " + ok + " arg: " + dir.file("no-dir/out") + ": " + enoent + "\n"},
        {[&] {
             return run_command({"grep", "-q", "x", none});
         },
         1, ""},  // grep: 0 and 1
        {[&] {
             return run_command({"grep", "-s", "x", missing});
         },
         2, "ovikburn: grep -s x " + missing + ": exit status 2\n"},
        {[&] {
             return run_pipeline_to_file({three}, {"grep", "x"}, dir.file("p"));
         },
         1, "ovikburn: " + three + ": exit status 3\n"},
        {[&] { return ChildProcess::spawn({three}) ? 0 : -1; }, 0,
         "ovikburn: " + three + ": exit status 3\n"},  // waited for by its destructor
    };
    for (const Case& c : cases) {
        for (const int quiet_mode : {0, 1}) {
            SCOPED_TRACE(c.message + (quiet_mode != 0 ? ", quiet" : ""));
            quiet.store(quiet_mode);
            OutputCapture err(stderr);
            EXPECT_EQ(c.run(), c.status);
            EXPECT_EQ(err.text(), quiet_mode != 0 ? "" : c.message);
        }
    }
}

// Directories in order; where the name is missing, not executable or not a file, the next.
// PATH unset or empty: the default's directories.
TEST_F(Process, ProgramsAreFoundInTheSearchPath) {
    for (const char* d : {"empty", "noexec", "subdir/prog", "bin", "later"}) {
        std::filesystem::create_directories(dir.file(d));
    }
    dir.write("noexec/prog", "#!/bin/sh\n");
    dir.write_script("bin/prog", "exit 0\n");
    dir.write_script("later/prog", "exit 0\n");
    dir.write("not-a-dir", "");
    const std::string empty = dir.file("empty"), noexec = dir.file("noexec"), bin = dir.file("bin"),
                      later = dir.file("later");
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
        {"prog", std::string(search_path(nullptr, empty + ":" + later)), later + "/prog", 0},
        {"prog", std::string(search_path("", noexec + ":" + bin)), bin + "/prog", 0},
        {"prog", std::string(search_path("/x", bin)), std::nullopt, ENOENT},
        {"prog", empty + ":" + dir.file("not-a-dir"), std::nullopt, ENOENT},
        {"prog", empty + ":" + noexec, std::nullopt, EACCES},
        {"", bin, std::nullopt, ENOENT},
        {"/any/path/prog", empty, "/any/path/prog", 0},
        {"./prog", empty, "./prog", 0},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(find_program(c.name, c.search), c.found) << c.name << " in " << c.search;
        if (!c.found) {
            EXPECT_EQ(errno, c.error) << c.name << " in " << c.search;
        }
    }
}

// Children get the default search path when PATH is unset or empty, so that the device's
// scripts find its sbin tools; output redirected by our code replaces the file's content.
TEST_F(Process, ChildrenGetTheDefaultPathAndTheirRedirections) {
    const std::string out = dir.write("env.txt", "old content that must go\n");
    for (const char* path : {static_cast<const char*>(nullptr), ""}) {
        {
            const ScopedPath scoped(path);
            ASSERT_EQ(run_command_to_file({"/usr/bin/env"}, out), 0);
        }
        const std::string env = TempDir::read(out);
        EXPECT_NE(env.find("PATH=" + std::string(DEFAULT_SEARCH_PATH) + "\n"), std::string::npos)
            << env;
        EXPECT_EQ(env.find("old content"), std::string::npos);
    }
}

}  // namespace
}  // namespace ovik
