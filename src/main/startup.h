// main: the agent's start-up, its command line and the stand-alone hex-to-ASCII mode.
#pragma once

#include "checks/local/local_checks.h"
#include "checks/net/net_checks.h"
#include "hostlink/link.h"
#include "plan/catalogue.h"
#include "plan/check_context.h"
#include "plan/config.h"
#include "plan/error_log.h"
#include "plan/test_thread.h"
#include "plan/testplan.h"
#include "plan/testresult.h"
#include "platform/discovery.h"

namespace ovik {

// Everything the agent keeps for its life, created by main and handed down by reference. It
// lives until power-off: after a run the agent sleeps, and nothing is torn down.
struct Agent {
    Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    RunState run;
    Configuration config;
    TestPlan testplan;
    ErrorLog log;
    PairAddress pair;
    CheckContext ctx;
    LocalChecks local;
    NetChecks net;
    TestCatalogue catalogue;
    PeerDiscovery discovery;
    Tpm2Prober tpm2_prober;
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
