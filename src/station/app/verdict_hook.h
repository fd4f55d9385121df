// The verdict hook (--on-verdict PROGRAM): the plant's own program, called once per device
// whose verdict is final with the device's JSON on its standard input. The hooks run on a
// thread of their own, at most AT_ONCE at a time, each killed (its whole process group) when
// it takes longer than --on-verdict-timeout; the run loop only hands calls over through a
// bounded queue and never waits for one. Each call is in the run records before its program
// starts and is taken off when the program exits 0, so a call that failed, hung, or was cut
// short by the station's end is made again by the next station (HookQueue). A hook's outcome
// never changes a verdict or the exit status.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/process.h"
#include "base/unique_fd.h"
#include "station/app/commands.h"
#include "station/records/hook_queue.h"
#include "station/session/agent_session.h"

namespace ovik::station {

// The call for one agent: its object of the JSON report, with the station's name and the run.
HookCall hook_call(const AgentReport& report, int64_t run, const std::string& station);

class VerdictHooks {
  public:
    static constexpr std::size_t AT_ONCE = 4;
    static constexpr std::size_t QUEUE = 1024;
    // The part of a hook's standard error that is logged and recorded.
    static constexpr std::size_t STDERR_KEPT = 4096;
    // How many calls that earlier stations left one station takes up.
    static constexpr std::size_t RETRIES = 10000;

    // Starts the hooks' thread with the calls earlier stations of this name left; nullptr
    // after saying why it cannot (the records cannot be reached).
    static std::unique_ptr<VerdictHooks> start(const char* command, const StationOptions& options,
                                               std::FILE* err);
    ~VerdictHooks();
    VerdictHooks(const VerdictHooks&) = delete;
    VerdictHooks& operator=(const VerdictHooks&) = delete;

    // Hands a call over without waiting; false when the queue is full (offer it again later).
    bool offer(HookCall call);
    // How long the end of a run waits for its hooks: long enough for one started last.
    Millis end_wait() const { return timeout_ + Millis(5000); }
    // Waits for the calls handed over, at most wait; the hooks still running then are killed.
    // How many calls are not done (failed, killed or not started), which the next station
    // makes again.
    std::size_t finish(Millis wait);

  private:
    struct Running;
    VerdictHooks(const char* command, const StationOptions& options, std::FILE* err,
                 std::unique_ptr<HookQueue> queue, std::deque<HookCall> retries, UniqueFd wake);
    void run();
    void record(std::vector<HookCall>& offered);
    void launch(HookCall call);
    // Reads, writes and reaps what poll found ready; drops the hooks that ended.
    void serve(TimePoint now);
    void ended(Running& hook, int status);
    void say_once(const std::string& what, const std::string& error);

    const char* command_;
    std::string station_;
    Argv program_;
    Millis timeout_;
    std::string db_name_;
    std::FILE* err_;
    std::unique_ptr<HookQueue> records_;             // the thread's alone
    std::deque<HookCall> waiting_;                   // the thread's alone
    std::vector<std::unique_ptr<Running>> running_;  // the thread's alone
    std::vector<int64_t> known_;                     // calls taken up, by id; the thread's alone
    std::size_t failed_ = 0;                         // the thread's alone until joined
    bool records_failed_ = false;                    // said once; the thread's alone
    UniqueFd wake_;  // an eventfd: a call was offered, or the end came

    std::mutex mutex_;
    std::vector<HookCall> offered_;
    bool stopping_ = false;
    TimePoint stop_at_{};
    std::thread thread_;
};

}  // namespace ovik::station
