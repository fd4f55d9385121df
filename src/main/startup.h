// main: the agent's start-up, its command line and the stand-alone hex-to-ASCII mode.
#pragma once

#include "checks/local/local_checks.h"
#include "hostlink/link.h"
#include "main/test_table.h"
#include "plan/check_context.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "plan/test_thread.h"
#include "plan/testplan.h"
#include "plan/testresult.h"
#include "platform/discovery.h"

namespace ovik {

// What every agent keeps from its start-up on: the run, the configuration, the plan of the
// agent's tests and the link's state.
struct AgentCore {
    AgentCore() : testplan(agent_tests()) {}
    AgentCore(const AgentCore&) = delete;
    AgentCore& operator=(const AgentCore&) = delete;

    RunState run;
    Configuration config;
    TestPlan testplan;
    LinkState link;
};

// What the start-up needs from the device besides the test thread's part; the agent's own is
// the boot-loader environment, the interfaces and the TPM2 prober, the line emulator gives its
// own.
class AgentDevice : public TestDevice {
  public:
    // The boot-loader environment's serial number.
    virtual uint32_t serial_number() = 0;
    // Reads a configuration file against the plan.
    virtual ConfigResult read_config(const char* path, const TestPlan& current) = 0;
    // Prepares the interfaces that an applied file asks for: 0, or -1 when the Wi-Fi pair
    // exchange failed.
    virtual int prepare_interfaces(const ConfigFile& file, AgentCore& core) = 0;
    // Starts the TPM2 self test's child process; false when it cannot.
    virtual bool start_tpm2_prober() = 0;
};

// The steps of the start-up, in the order the command line gives them; each returns 0, or
// the exit status that ends the start-up.
//
// -c and -e: reads, applies and prepares one configuration file.
int load_config(const char* path, AgentCore& core, AgentDevice& device);
// -e: the serial number from the boot-loader environment, eth0's plan address, and the
// configuration "/dev/shm/cfg_ovikburn".
int start_from_environment(AgentCore& core, AgentDevice& device);
// After the options: a serial number is required; the TPM2 prober starts when its test is on;
// the run is idle (or running at once without a PC) and the link announces.
int start_run(AgentCore& core, AgentDevice& device, bool no_remote);

// The device's own.
class HardwareDevice final : public AgentDevice {
  public:
    HardwareDevice(Checks& checks, PeerDiscovery& discovery, Tpm2Prober& tpm2_prober)
        : checks_(checks), discovery_(discovery), tpm2_prober_(tpm2_prober) {}
    int run_check(const TestRow& row, const TestCall& call) override;
    void assign_address(TestResult& record, const char* iface) override;
    uint32_t serial_number() override;
    ConfigResult read_config(const char* path, const TestPlan& current) override;
    int prepare_interfaces(const ConfigFile& file, AgentCore& core) override;
    bool start_tpm2_prober() override;

  private:
    Checks& checks_;
    PeerDiscovery& discovery_;
    Tpm2Prober& tpm2_prober_;
};

// Everything the agent keeps for its life, created by main and handed down by reference. It
// lives until power-off: after a run the agent sleeps, and nothing is torn down.
struct Agent : AgentCore {
    Agent();

    ErrorLog log;
    PairAddress pair;
    CheckContext ctx;
    Checks checks;
    PeerDiscovery discovery;
    Tpm2Prober tpm2_prober;
    HardwareDevice device;
    DevicePlatform platform;
    TestThread test_thread;
};

// The whole agent: returns the exit status of a start-up that ends early; after a run it never
// returns.
int agent_main(int argc, char** argv, Agent& agent);

// Prints the usage text; returns the exit status 1.
int usage(const char* program);

// -T: the text read as pairs of hexadecimal digits, written as the characters they encode.
void print_hex_as_ascii(const char* text);

// Value of one hexadecimal digit ("0"-"9", "A"-"F", and "a"-"f"); -1 for anything else.
int hex_digit_value(char c);
// high * 16 + low; -1 when either is not a hexadecimal digit.
int hex_pair_value(char high, char low);

}  // namespace ovik
