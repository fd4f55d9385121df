#include "station/app/verdict_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/process.h"
#include "station/records/json.h"
#include "station/records/run_db.h"
#include "station/views/report.h"

namespace ovik::station {

struct VerdictHooks::Running {
    HookCall call;
    ChildProcess child;
    UniqueFd pidfd;   // readable when the child ended
    UniqueFd input;   // its standard input, until the JSON is written
    UniqueFd errors;  // its standard error, until it closes
    std::size_t written = 0;
    std::string stderr_text;
    TimePoint deadline;
    bool killed = false;
};

namespace {

TimePoint now() {
    return std::chrono::steady_clock::now();
}

// The kept part of a hook's standard error as text for the records and the log: one line.
std::string stderr_shown(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) text += c == '\n' || c == '\0' ? ' ' : c;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return utf8_of_latin1(text);
}

// Starts program in a process group of its own, its standard input and error from and to
// input and errors (non-blocking); nullopt with errno set. Standard input is a socket, so that
// a hook which exits without reading it costs no SIGPIPE (send with MSG_NOSIGNAL).
std::optional<ChildProcess> spawn_hook(const Argv& program, UniqueFd& input, UniqueFd& errors) {
    int in[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return std::nullopt;
    input.reset(in[0]);
    const UniqueFd their_input(in[1]);
    int err[2];
    if (::pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) return std::nullopt;
    errors.reset(err[0]);
    const UniqueFd their_errors(err[1]);
    // The child's end must block: a hook writing much to stderr would otherwise fail.
    ::fcntl(their_errors.get(), F_SETFL, 0);
    ChildProcess::Options options;
    options.stdin_fd = their_input.get();
    options.stderr_fd = their_errors.get();
    options.own_group = true;
    options.quiet = true;
    return ChildProcess::spawn(program, options);
}

}  // namespace

HookCall hook_call(const AgentReport& report, int64_t run, const std::string& station) {
    Json j = report_entry(report);
    j["station"] = utf8_of_latin1(station);
    j["run"] = run;
    return HookCall{0, run,
                    report.record ? std::to_string(report.record->serial) : "@" + report.address,
                    json_line(j) + "\n", 0};
}

std::unique_ptr<VerdictHooks> VerdictHooks::start(const char* command,
                                                  const StationOptions& options, std::FILE* err) {
    // A misspelt program is said once here, not once per device.
    if (!find_program(options.on_verdict, search_path(std::getenv("PATH")))) {
        std::fprintf(err,
                     "ovikstation %s: --on-verdict %s: %s; give the path of an executable "
                     "program\n",
                     command, options.on_verdict.c_str(), std::strerror(errno));
        return nullptr;
    }
    std::string error;
    std::unique_ptr<HookQueue> queue = HookQueue::open(options.db, error);
    std::optional<std::vector<HookCall>> due;
    if (queue) due = queue->due(options.name, RETRIES, error);
    if (!due) {
        std::fprintf(err, "ovikstation %s: cannot keep the --on-verdict calls in --db %s: %s\n",
                     command, run_db_name(options.db).c_str(), error.c_str());
        return nullptr;
    }
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) {
        std::fprintf(err, "ovikstation %s: cannot start the --on-verdict thread: %s\n", command,
                     std::strerror(errno));
        return nullptr;
    }
    if (!due->empty()) {
        std::fprintf(err,
                     "ovikstation %s: %zu --on-verdict call%s that earlier stations left %s "
                     "made again\n",
                     command, due->size(), due->size() == 1 ? "" : "s",
                     due->size() == 1 ? "is" : "are");
    }
    return std::unique_ptr<VerdictHooks>(
        new VerdictHooks(command, options, err, std::move(queue),
                         std::deque<HookCall>(due->begin(), due->end()), std::move(wake)));
}

VerdictHooks::VerdictHooks(const char* command, const StationOptions& options, std::FILE* err,
                           std::unique_ptr<HookQueue> queue, std::deque<HookCall> retries,
                           UniqueFd wake)
    : command_(command),
      station_(options.name),
      program_{options.on_verdict},
      timeout_(millis_of(options.on_verdict_timeout)),
      db_name_(run_db_name(options.db)),
      err_(err),
      records_(std::move(queue)),
      waiting_(std::move(retries)),
      wake_(std::move(wake)) {
    for (const HookCall& c : waiting_) known_.push_back(c.id);
    thread_ = std::thread([this] { run(); });
}

VerdictHooks::~VerdictHooks() {
    if (thread_.joinable()) finish(Millis(0));
}

bool VerdictHooks::offer(HookCall call) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ || offered_.size() >= QUEUE) return false;
        offered_.push_back(std::move(call));
    }
    const uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    return true;
}

std::size_t VerdictHooks::finish(Millis wait) {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        stop_at_ = now() + wait;
    }
    const uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    thread_.join();
    return failed_ + waiting_.size();
}

void VerdictHooks::say_once(const std::string& what, const std::string& error) {
    if (records_failed_) return;
    records_failed_ = true;
    std::fprintf(err_, "ovikstation %s: cannot %s in --db %s: %s\n", command_, what.c_str(),
                 db_name_.c_str(), error.c_str());
}

void VerdictHooks::record(std::vector<HookCall>& offered) {
    for (HookCall& call : offered) {
        std::string error;
        const std::optional<bool> due = records_->add(call, station_, error);
        if (!due) {
            // Called all the same; only a later station cannot make it again.
            say_once("record the --on-verdict calls", error);
            waiting_.push_back(std::move(call));
            continue;
        }
        if (!*due || std::find(known_.begin(), known_.end(), call.id) != known_.end()) continue;
        known_.push_back(call.id);
        waiting_.push_back(std::move(call));
    }
}

void VerdictHooks::launch(HookCall call) {
    UniqueFd input;
    UniqueFd errors;
    std::optional<ChildProcess> child = spawn_hook(program_, input, errors);
    int error = errno;
    UniqueFd pidfd(child ? static_cast<int>(::syscall(SYS_pidfd_open, child->pid(), 0)) : -1);
    if (child && !pidfd.valid()) {
        error = errno;
        child->kill_group(SIGKILL);
        child->wait();
        child.reset();
    }
    if (!child) {
        std::fprintf(err_,
                     "ovikstation %s: cannot start --on-verdict %s for device %s of run %lld: "
                     "%s; the next ovikstation run or resume with --on-verdict makes the call "
                     "again\n",
                     command_, program_[0].c_str(), call.device.c_str(),
                     static_cast<long long>(call.run), std::strerror(error));
        ++failed_;
        std::string why;
        if (call.id != 0 && !records_->attempted(call, 127, std::strerror(error), why)) {
            say_once("record the --on-verdict calls", why);
        }
        return;
    }
    auto hook = std::make_unique<Running>(Running{std::move(call),
                                                  std::move(*child),
                                                  std::move(pidfd),
                                                  std::move(input),
                                                  std::move(errors),
                                                  0,
                                                  {},
                                                  now() + timeout_,
                                                  false});
    running_.push_back(std::move(hook));
}

void VerdictHooks::run() {
    for (;;) {
        std::vector<HookCall> offered;
        bool stopping = false;
        TimePoint stop_at{};
        {
            const std::lock_guard lock(mutex_);
            offered.swap(offered_);
            stopping = stopping_;
            stop_at = stop_at_;
        }
        uint64_t count = 0;
        (void)!::read(wake_.get(), &count, sizeof count);
        record(offered);
        const TimePoint t = now();
        if (stopping && (t >= stop_at || (waiting_.empty() && running_.empty()))) break;
        while (running_.size() < AT_ONCE && !waiting_.empty()) {
            HookCall call = std::move(waiting_.front());
            waiting_.pop_front();
            launch(std::move(call));
        }
        std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}};
        TimePoint until = stopping ? stop_at : TimePoint::max();
        for (const auto& h : running_) {
            fds.push_back({h->pidfd.get(), POLLIN, 0});
            if (h->errors.valid()) fds.push_back({h->errors.get(), POLLIN, 0});
            if (h->input.valid()) fds.push_back({h->input.get(), POLLOUT, 0});
            if (!h->killed) until = std::min(until, h->deadline);
        }
        int timeout = -1;
        if (until != TimePoint::max()) {
            const auto left = std::chrono::ceil<Millis>(until - t).count();
            timeout = static_cast<int>(std::clamp<int64_t>(left, 0, 60000));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        serve(now());
    }
    // The end: what still runs is killed and counts as not done.
    for (const auto& h : running_) h->child.kill_group(SIGKILL);
    for (const auto& h : running_) {
        h->child.wait();
        ++failed_;
    }
    running_.clear();
}

void VerdictHooks::serve(TimePoint t) {
    for (const auto& h : running_) {
        if (h->input.valid()) {
            const std::string& body = h->call.body;
            const ssize_t n = ::send(h->input.get(), body.data() + h->written,
                                     body.size() - h->written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) h->written += static_cast<std::size_t>(n);
            // A hook that does not read its input is no fault of the station's.
            if (h->written == body.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                h->input.reset();
            }
        }
        while (h->errors.valid()) {
            char buffer[4096];
            const ssize_t n = ::read(h->errors.get(), buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t room = STDERR_KEPT - std::min(STDERR_KEPT, h->stderr_text.size());
                h->stderr_text.append(buffer, std::min(room, static_cast<std::size_t>(n)));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            h->errors.reset();
        }
        if (!h->killed && t >= h->deadline) {
            h->child.kill_group(SIGKILL);
            h->killed = true;
        }
    }
    for (auto it = running_.begin(); it != running_.end();) {
        const std::optional<int> status = (*it)->child.try_wait();
        if (!status) {
            ++it;
            continue;
        }
        ended(**it, *status);
        it = running_.erase(it);
    }
}

void VerdictHooks::ended(Running& hook, int status) {
    const std::string shown = stderr_shown(hook.stderr_text);
    std::string error;
    if (hook.call.id != 0 && !records_->attempted(hook.call, status, shown, error)) {
        say_once("record the --on-verdict calls", error);
    }
    if (status == 0) return;
    ++failed_;
    char what[120];
    if (hook.killed) {
        std::snprintf(what, sizeof what,
                      "did not end within %g s (--on-verdict-timeout) and was killed",
                      static_cast<double>(timeout_.count()) / 1000);
    } else {
        std::snprintf(what, sizeof what, "ended with exit status %d", status);
    }
    std::fprintf(err_,
                 "ovikstation %s: --on-verdict %s for device %s of run %lld %s; the next "
                 "ovikstation run or resume with --on-verdict makes the call again%s%s\n",
                 command_, program_[0].c_str(), hook.call.device.c_str(),
                 static_cast<long long>(hook.call.run), what,
                 shown.empty() ? "" : "; its stderr: ", shown.c_str());
}

}  // namespace ovik::station
