// The device model's configuration, cfg_ovikburn: which tests run, on which device nodes, and
// how the interfaces are prepared. Written once at start-up, read-only afterwards.
#pragma once

#include <array>
#include <cstdint>

namespace ovik {

struct Configuration {
    uint32_t downloadfwr = 0;  // a firmware download is expected after a passed run
    uint32_t gigalanlb = 0;    // eth1's PHY is in loop-back and must be restored at the end
};

extern Configuration config;

// Loads the INI file at path. 0 when it was read, -1 when it cannot be used; the reason is
// printed, then "cannot parse file: PATH".
int load_config(const char* path);

}  // namespace ovik
