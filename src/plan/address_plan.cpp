#include "plan/address_plan.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/netif.h"

namespace ovik {

void assign_if_address(TestResult& record, const char* iface) {
    const auto text = plan_address_text(iface, record.serial);
    if (!text) return;
    if (std::strcmp(iface, "eth0") == 0) record.ip = ntohl(::inet_addr(text->c_str()));
    ifup(iface, text->c_str());
}

bool assign_eth0_address(TestResult& record, const char* text) {
    if (std::strlen(text) > ADDRESS_TEXT_MAX) return false;
    record.ip = ntohl(::inet_addr(text));
    ifup("eth0", text);
    return true;
}

}  // namespace ovik
