// Costs of the test thread and of the serial tests, measured with the real code:
//   cycle overhead: the cycle period minus the tests' own time minus the 1 s pause, 20 cycles;
//   one good serial loop-back port at 115200 and at 921600, and a 4-port two-wire call, on ptys.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "checks/local/local_checks.h"
#include "plan/check_context.h"
#include "plan/test_thread.h"
#include "pty_fixture.h"

namespace {

using namespace ovik;
using Clock = std::chrono::steady_clock;

void cycle_overhead(int cycles) {
    std::atomic<int64_t> test_ns{0};
    // A test of a fixed 20 ms that books its own duration.
    const auto timed_test = [&test_ns] {
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        test_ns.fetch_add(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
        return 0;
    };
    // Four items, each running the timed test; no interface gets an address.
    struct TimedDevice final : TestDevice {
        explicit TimedDevice(decltype(timed_test)& t) : test(t) {}
        int run_check(const TestRow&, const TestCall&) override { return test(); }
        void assign_address(TestResult&, const char*) override {}
        decltype(timed_test)& test;
    };
    TimedDevice device(timed_test);
    const TestRow rows[] = {{.item = "USB1"}, {.item = "mSATA"}, {.item = "MEM"}, {.item = "SD"}};
    TestPlan plan({std::begin(rows), std::end(rows)});
    for (std::size_t i = 0; i < plan.rows().size(); ++i) plan.slot_of(i).row = &plan.rows()[i];
    RunState run;
    run.set_status(wire::STATUS_RUNNING);
    std::vector<Clock::time_point> ends;
    std::vector<int64_t> booked;
    std::thread watcher([&] {
        uint32_t seen = 0;
        while (seen <= static_cast<uint32_t>(cycles)) {
            const uint32_t now = run.testresult.cycles.load();
            if (now != seen) {
                ends.push_back(Clock::now());
                booked.push_back(test_ns.exchange(0));
                seen = now;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        run.teststop.store(1);
    });
    test_main(plan, run, device);
    watcher.join();
    std::vector<double> overhead_ms;
    for (std::size_t i = 1; i < ends.size() && i <= static_cast<std::size_t>(cycles); ++i) {
        const double period =
            std::chrono::duration<double, std::milli>(ends[i] - ends[i - 1]).count();
        overhead_ms.push_back(period - static_cast<double>(booked[i]) / 1e6 - 1000.0);
    }
    std::sort(overhead_ms.begin(), overhead_ms.end());
    double sum = 0;
    for (double v : overhead_ms) sum += v;
    std::printf(
        "cycle overhead over %zu cycles (4 tests of 20 ms + 1 s pause): mean %.3f ms, "
        "median %.3f ms, max %.3f ms\n",
        overhead_ms.size(), sum / static_cast<double>(overhead_ms.size()),
        overhead_ms[overhead_ms.size() / 2], overhead_ms.back());
}

template <typename F>
double time_ms(F f, int runs) {
    std::vector<double> v;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        if (f() != 0) std::fprintf(stderr, "a serial call failed\n");
        v.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void serial_times(int runs) {
    Configuration config;
    RunState run;
    // The benchmark counts failed calls; their records are not kept.
    ErrorLog log("/dev/null");
    SerialChecks serial({config, run, log});
    {
        testsupport::SerialRig rig(1, false);
        copy_text(config.serial_device, rig.prefix());
        run.testresult.portnum = 1;
        for (uint32_t rate : {115200u, 921600u}) {
            run.serial_baud.store(rate);
            std::printf("testserial, one good port at %u: median %.1f ms over %d calls\n", rate,
                        time_ms([&] { return serial.testserial(); }, runs), runs);
        }
    }
    testsupport::SerialRig pairs(4, true);
    copy_text(config.serial_device, pairs.prefix());
    run.testresult.portnum = 4;
    std::printf("testserial2W, 4 ports in two pairs: median %.1f ms over %d calls\n",
                time_ms([&] { return serial.testserial2W(); }, runs), runs);
}

}  // namespace

int main() {
    quiet.store(1);
    serial_times(20);
    cycle_overhead(20);
    return 0;
}
