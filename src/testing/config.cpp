#include "testing/config.h"

#include <arpa/inet.h>
#include <iniparser.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "testing/modem_names.h"
#include "testing/testresult.h"

namespace ovik {

Configuration config;
std::array<DeviceName, 3> modem_device{};

namespace {

struct DictionaryFree {
    void operator()(dictionary* d) const { iniparser_freedict(d); }
};
using Dictionary = std::unique_ptr<dictionary, DictionaryFree>;

const char* get_string(dictionary* d, const char* key) {
    return iniparser_getstring(d, key, nullptr);
}

bool get_boolean(dictionary* d, const char* key) {
    return iniparser_getboolean(d, key, 0) == 1;
}

// Hexadecimal text, "0x" allowed; conversion stops at the first non-hex character.
uint32_t hex_value(const char* text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
}

}  // namespace

int load_config(const char* path) {
    Dictionary ini(iniparser_load(path));
    if (!ini) {
        std::printf("cannot parse file: %s\n", path);
        return -1;
    }
    dictionary* d = ini.get();
    iniparser_dump(d, stdout);

    // Identity keys are required: a device that announces a made-up identity is worse than one
    // that refuses to start.
    const char* software_id = get_string(d, "info:SOFTWARE_ID");
    const char* ap_id = get_string(d, "info:AP_ID");
    for (const auto& [key, value] :
         {std::pair{"info:SOFTWARE_ID", software_id}, std::pair{"info:AP_ID", ap_id}}) {
        if (value == nullptr) {
            std::printf("%s: required key is missing; add it to the [info] section\n", key);
            std::printf("cannot parse file: %s\n", path);
            return -1;
        }
    }
    testresult.softwareid = htons(static_cast<uint16_t>(hex_value(software_id) & 0xFFFF));
    testresult.apid = htonl(hex_value(ap_id));
    config.downloadfwr = get_boolean(d, "info:DownloadFWR") ? 1 : 0;
    return 0;
}

}  // namespace ovik
