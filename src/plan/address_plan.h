// The interface address plan: test addresses derived from the serial number.
#pragma once

#include <cstddef>

namespace ovik {

inline constexpr std::size_t ADDRESS_TEXT_SIZE = 32;

// Dotted text of the last address given to an interface (by -i or by assign_if_address).
extern char address_text[ADDRESS_TEXT_SIZE];

// Gives the interface its plan address from testresult.serial and brings it up; for eth0 also
// sets testresult.ip. Interfaces outside the plan are left alone.
void assign_if_address(const char* iface);

// -i: eth0 gets the given address; testresult.ip carries it. False when the text does not fit.
bool assign_eth0_address(const char* text);

}  // namespace ovik
