// The agent's test table: every test it knows, one row each, with the check it runs.
#pragma once

#include <vector>

#include "checks/local/local_checks.h"
#include "checks/net/net_checks.h"
#include "plan/test_table.h"

namespace ovik {

// The objects the checks keep their state in.
struct Checks {
    Checks(const CheckContext& ctx, PairAddress& pair) : local(ctx), net(ctx, pair) {}
    LocalChecks local;
    NetChecks net;
};

// The rows in the order the plan numbers and runs them.
std::vector<TestRow> agent_tests();

}  // namespace ovik
