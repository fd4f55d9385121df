#include "main/startup.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "hostlink/link.h"
#include "main/interfaces.h"
#include "main/version.h"
#include "plan/address_plan.h"
#include "platform/bootenv.h"

namespace ovik {

namespace {
constexpr const char* RULE = "===============================================================";
}  // namespace

int usage(const char* program) {
    std::printf("%s\n", RULE);
    std::printf("ovikburn builddate:\t%s\n", OVIKBURN_BUILD_DATE);
    std::printf("%s\n", RULE);
    std::printf("Burn test usage:\t%s -e\n", program);
    std::printf("%s\n", RULE);
    std::printf("%-63s\n", "Debug usage : ovikburn  <-p SN>  <-i IP_addr> [OPTION...]");
    for (const char* line : {"-s : product S/N on DUT (255 - 255*255)", "-i : IPv4 address on eth0",
                             "-c : configuration loads from ini configuration file",
                             "-n : No remote test", "-T : Hex to ASCII", "-h : help usage"}) {
        std::printf("\t%-61s\n", line);
    }
    std::printf("%63s\n", "");
    std::fflush(stdout);
    return 1;
}

int hex_digit_value(char c) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return -1;
    const int u = static_cast<unsigned char>(c);
    int v = (u & 0x0F) + 10 * ((u >> 4) - 3);
    if (v > 9) v -= 1;
    return v;
}

int hex_pair_value(char high, char low) {
    const int h = hex_digit_value(high);
    const int l = hex_digit_value(low);
    if (h < 0 || l < 0) return -1;
    return h * 16 + l;
}

void print_hex_as_ascii(const char* text) {
    const std::size_t n = std::strlen(text);
    char high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            high = text[i];
            continue;
        }
        if (is_quiet()) continue;
        // A pair that is not hexadecimal shows as '?', so the bad spot is visible.
        const int v = hex_pair_value(high, text[i]);
        std::putchar(v < 0 ? '?' : v);
    }
    if (!is_quiet()) std::putchar('\n');
}

int load_config(const char* path, AgentCore& core, AgentDevice& device) {
    const ConfigResult result = device.read_config(path, core.testplan);
    if (!result.file) {
        std::fputs(result.refusal.c_str(), stdout);
        return 1;
    }
    apply_config(*result.file, core.config, core.testplan, core.run.testresult);
    if (device.prepare_interfaces(*result.file, core) < 0) {
        say("Cannot set the WLAN0's SSID or IP!\n");
        return 255;
    }
    return 0;
}

int start_from_environment(AgentCore& core, AgentDevice& device) {
    TestResult& testresult = core.run.testresult;
    testresult.serial = device.serial_number();
    std::printf("serialnumber = %d\n", static_cast<int>(testresult.serial));
    device.assign_address(testresult, "eth0");
    return load_config("/dev/shm/cfg_ovikburn", core, device);
}

int start_run(AgentCore& core, AgentDevice& device, bool no_remote) {
    if (core.run.testresult.serial == 0) {
        std::printf("Wrong testresult.serial number\n");
        return 1;
    }
    // The TPM2 self test runs in a child process that lives as long as the agent.
    const TestSlot* tpm2 = core.testplan.find("TPM2");
    if (tpm2 != nullptr && tpm2->filled() && !device.start_tpm2_prober()) {
        std::printf("Fork failed\n");
        return 1;
    }
    core.run.set_status(no_remote ? wire::STATUS_RUNNING : wire::STATUS_IDLE);
    core.run.testfail.store(0, std::memory_order_relaxed);
    core.link = LinkState(core.config.downloadfwr);
    core.link.last_report = now_ms();
    return 0;
}

int HardwareDevice::run_check(const TestRow& row, const TestCall& call) {
    return row.check(checks_, call);
}

void HardwareDevice::assign_address(TestResult& record, const char* iface) {
    assign_if_address(record, iface);
}

uint32_t HardwareDevice::serial_number() {
    return static_cast<uint32_t>(get_serial_number());
}

ConfigResult HardwareDevice::read_config(const char* path, const TestPlan& current) {
    return ovik::read_config(path, current);
}

int HardwareDevice::prepare_interfaces(const ConfigFile& file, AgentCore& core) {
    InterfaceSetup setup{core.run.testresult, discovery_, checks_.net};
    return ovik::prepare_interfaces(file, core.config, setup);
}

bool HardwareDevice::start_tpm2_prober() {
    return tpm2_prober_.start();
}

Agent::Agent()
    : ctx{config, run, log},
      checks(ctx, pair),
      discovery(pair),
      device(checks, discovery, tpm2_prober),
      test_thread(testplan, run, device) {}

int agent_main(int argc, char** argv, Agent& agent) {
    use_line_buffered_stdout();
    TestResult& testresult = agent.run.testresult;
    testresult.clear();
    if (argc == 1) return usage(argv[0]);

    bool no_remote = false;
    int opt = 0;
    while ((opt = ::getopt(argc, argv, "s:i:cenT:hq")) != -1) {
        switch (opt) {
            case 's':
                testresult.serial = static_cast<uint32_t>(std::strtol(optarg, nullptr, 10));
                break;
            case 'i':
                if (!assign_eth0_address(testresult, optarg)) {
                    std::printf(
                        "The address of -i is longer than %zu characters: '%s'. Give a "
                        "dotted IPv4 address such as 192.180.5.222.\n",
                        ADDRESS_TEXT_MAX, optarg);
                    return 1;
                }
                break;
            case 'c':
                if (const int status = load_config("./cfg_ovikburn", agent, agent.device);
                    status != 0) {
                    return status;
                }
                break;
            case 'e':
                if (const int status = start_from_environment(agent, agent.device); status != 0) {
                    return status;
                }
                break;
            case 'n':
                no_remote = true;
                break;
            case 'T':
                print_hex_as_ascii(optarg);
                return 0;
            case 'h':
                return usage(argv[0]);
            case 'q':
                quiet.store(1, std::memory_order_relaxed);
                break;
            default: {
                // getopt has said what is wrong; name the option as it was given.
                const char shown[3] = {'-', static_cast<char>(optopt), '\0'};
                std::printf("Unknown option: '%s'\n", optarg != nullptr ? optarg : shown);
                return usage(argv[0]);
            }
        }
    }

    if (const int status = start_run(agent, agent.device, no_remote); status != 0) return status;
    UniqueFd sock = open_host_link_socket();
    if (!sock.valid()) return 255;
    agent.test_thread.start();
    host_link_loop(sock, agent.link, agent.run, agent.platform);
    end_of_run(std::move(sock), agent.link, agent.run, agent.config);
}

}  // namespace ovik
