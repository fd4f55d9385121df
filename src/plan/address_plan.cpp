#include "plan/address_plan.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/netif.h"
#include "plan/testresult.h"

namespace ovik {

char address_text[ADDRESS_TEXT_SIZE];

void assign_if_address(const char* iface) {
    const auto text = plan_address_text(iface, testresult.serial);
    if (!text) return;
    std::snprintf(address_text, sizeof address_text, "%s", text->c_str());
    if (std::strcmp(iface, "eth0") == 0) testresult.ip = ::inet_addr(address_text);
    ifup(iface, address_text);
}

bool assign_eth0_address(const char* text) {
    if (std::strlen(text) >= ADDRESS_TEXT_SIZE) return false;
    std::snprintf(address_text, sizeof address_text, "%s", text);
    testresult.ip = ::inet_addr(address_text);
    ifup("eth0", address_text);
    return true;
}

}  // namespace ovik
