// The interface address plan: test addresses derived from the serial number.
#pragma once

#include <cstddef>

#include "plan/testresult.h"

namespace ovik {

// The longest address text that -i takes (the address buffer's 32 bytes less the terminator).
inline constexpr std::size_t ADDRESS_TEXT_MAX = 31;

// Gives the interface its plan address from the record's serial number and brings it up; for
// eth0 also sets the record's ip. Interfaces outside the plan are left alone.
void assign_if_address(TestResult& record, const char* iface);

// -i: eth0 gets the given address; the record's ip carries it. False when the text is longer
// than ADDRESS_TEXT_MAX.
bool assign_eth0_address(TestResult& record, const char* text);

}  // namespace ovik
