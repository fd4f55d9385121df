#include "plan/testresult.h"

namespace ovik {

void ItemEntry::set_name(const char* text) {
    std::size_t i = 0;
    for (; i + 1 < name.size() && text[i] != '\0'; ++i) {
        name[i].store(text[i], std::memory_order_relaxed);
    }
    for (; i < name.size(); ++i) name[i].store('\0', std::memory_order_relaxed);
}

std::string ItemEntry::name_text() const {
    std::string s;
    for (const auto& c : name) {
        const char ch = c.load(std::memory_order_relaxed);
        if (ch == '\0') break;
        s += ch;
    }
    return s;
}

void TestResult::clear() {
    constexpr auto r = std::memory_order_relaxed;
    serial = 0;
    ip = 0;
    softwareid = 0;
    apid = 0;
    portnum = 0;
    cycles.store(0, r);
    for (auto& p : portfail) p.store(0, r);
    for (auto& it : item) {
        it.set_name("");
        it.fail.store(0, r);
    }
    wlan_ping_sent.store(0, r);
    wlan_ping_recv.store(0, r);
    wlan_signal.store(0, r);
    wlan_bitrate.store(0, r);
}

}  // namespace ovik
