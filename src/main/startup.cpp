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

namespace {

// Reads, applies and prepares one configuration file: 0, or the exit status that ends the
// start-up.
int load_config(const char* path, Agent& agent) {
    const ConfigResult result = read_config(path, agent.catalogue, agent.testplan);
    if (!result.file) {
        std::fputs(result.refusal.c_str(), stdout);
        return 1;
    }
    apply_config(*result.file, agent.config, agent.testplan, agent.run.testresult);
    InterfaceSetup setup{agent.run.testresult, agent.discovery, agent.net};
    if (prepare_interfaces(*result.file, agent.config, setup) < 0) {
        say("Cannot set the WLAN0's SSID or IP!\n");
        return 255;
    }
    return 0;
}

}  // namespace

Agent::Agent()
    : ctx{config, run, log},
      local(ctx),
      net(ctx, pair),
      discovery(pair),
      test_thread(testplan, run, config) {
    register_local_checks(catalogue, local);
    register_net_checks(catalogue, net);
}

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
                if (const int status = load_config("./cfg_ovikburn", agent); status != 0) {
                    return status;
                }
                break;
            case 'e':
                testresult.serial = static_cast<uint32_t>(get_serial_number());
                std::printf("serialnumber = %d\n", static_cast<int>(testresult.serial));
                assign_if_address(testresult, "eth0");
                if (const int status = load_config("/dev/shm/cfg_ovikburn", agent); status != 0) {
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

    if (testresult.serial == 0) {
        std::printf("Wrong testresult.serial number\n");
        return 1;
    }

    // The TPM2 self test runs in a child process that lives as long as the agent.
    if (agent.testplan.slot(Slot::TPM2).filled() && !agent.tpm2_prober.start()) {
        std::printf("Fork failed\n");
        return 1;
    }

    agent.run.set_status(no_remote ? wire::STATUS_RUNNING : wire::STATUS_IDLE);
    agent.run.testfail.store(0, std::memory_order_relaxed);

    UniqueFd sock = open_host_link_socket();
    if (!sock.valid()) return 255;
    LinkState link(agent.config.downloadfwr);
    link.last_report = now_ms();
    agent.test_thread.start();
    host_link_loop(sock, link, agent.run, agent.platform);
    end_of_run(std::move(sock), link, agent.run, agent.config);
}

}  // namespace ovik
