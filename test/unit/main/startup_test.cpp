// The agent's stand-alone modes, run as the real binary: -T and the usage text touch nothing
// on the machine, so they are safe to run outside the simulated network.
#include "main/startup.h"

#include <gtest/gtest.h>

#include "base/process.h"

namespace ovik {
namespace {

struct Outcome {
    int status;
    std::string out;
};

Outcome run_agent(const Argv& args) {
    Argv argv{OVIKBURN_EMULATOR, OVIKBURN_PATH};
    if (argv.front().empty()) argv.erase(argv.begin());  // no emulator: a native build
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.capture_stdout = true;
    auto child = ChildProcess::spawn(argv, options);
    EXPECT_TRUE(child.has_value());
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, child->output()) != nullptr) out += buf;
    return {child->wait(), out};
}

std::string expected_usage() {
    const std::string rule(63, '=');
    auto pad = [](std::string s, std::size_t width) {
        s.resize(width, ' ');
        return s;
    };
    std::string u = rule + "\n" + "ovikburn builddate:\t20240116134911\n" + rule + "\n" +
                    "Burn test usage:\t" + OVIKBURN_PATH + " -e\n" + rule + "\n" +
                    pad("Debug usage : ovikburn  <-p SN>  <-i IP_addr> [OPTION...]", 63) + "\n";
    for (const char* line : {"-s : product S/N on DUT (255 - 255*255)", "-i : IPv4 address on eth0",
                             "-c : configuration loads from ini configuration file",
                             "-n : No remote test", "-T : Hex to ASCII", "-h : help usage"}) {
        u += "\t" + pad(line, 61) + "\n";
    }
    return u + std::string(63, ' ') + "\n";
}

TEST(StartUp, UsageTextByteForByte) {
    for (const Argv& args : {Argv{}, Argv{"-h"}, Argv{"-q", "-h"}}) {
        const Outcome o = run_agent(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, expected_usage());
    }
    const Outcome bad = run_agent({"-x"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Unknown option: '-x'\n" + expected_usage());
    const Outcome missing = run_agent({"-s"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out.rfind("Unknown option: '-s'\n", 0), 0u) << missing.out;
}

TEST(StartUp, HexToAscii) {
    struct Case {
        Argv args;
        std::string out;
    };
    const Case cases[] = {
        {{"-T", "48656C6C6F"}, "Hello\n"},
        {{"-T", "41424"}, "AB\n"},
        {{"-T", "6f6B"}, "ok\n"},
        {{"-T", "4G41"}, "?A\n"},
        {{"-q", "-T", "41"}, ""},
        {{"-T", "41", "-h"}, "A\n"},  // -T ends the process before later options
    };
    for (const auto& c : cases) {
        const Outcome o = run_agent(c.args);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, c.out) << c.args.back();
    }
}

TEST(StartUp, HexDigits) {
    const std::string digits = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(hex_digit_value(digits[static_cast<std::size_t>(i)]), i);
    EXPECT_EQ(hex_digit_value('a'), 10);
    EXPECT_EQ(hex_digit_value('G'), -1);
    EXPECT_EQ(hex_digit_value(' '), -1);
    EXPECT_EQ(hex_pair_value('7', 'E'), 0x7E);
    EXPECT_EQ(hex_pair_value('F', 'F'), 0xFF);
}

}  // namespace
}  // namespace ovik
