#include "platform/bootenv.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::TempDir;

TEST(BootEnv, FirstLineContainingTheNameGivesTheValue) {
    TempDir dir;
    const std::string dump = dir.write("env",
                                       "bootdelay=3\n"
                                       "serialnumber=TB1234\n"
                                       "mm_flags=72\n"
                                       "longvalue=0123456789abcdefXYZ\n"
                                       "noequals\n"
                                       "ethaddr=00:11:22:33:44:55");
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "serialnumber"), "TB1234");
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "mm_flags"), "72");
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "longvalue"), "0123456789abcde") << "cut to 15";
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "noequals"), "");
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "ethaddr"), "00:11:22:33:44:")
        << "a last line without line feed";
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "absent"), "");
    // A plain substring test: the first line that holds the text anywhere wins.
    EXPECT_EQ(find_bootenv_value(dump.c_str(), "TB12"), "TB1234");
    EXPECT_FALSE(find_bootenv_value(dir.file("missing").c_str(), "mm_flags").has_value());
}

TEST(BootEnv, SerialNumberFromTheLastFourCharacters) {
    struct Case {
        const char* text;
        int32_t serial;
    };
    // Blanks and signs are not digits: no serial number is ever negative.
    const Case cases[] = {{"TB1234", 1234}, {"12", 12},   {"XY000042", 42}, {"AB12C4", 12},
                          {"ABCD", 0},      {"", 0},      {"AB-123", 0},    {"=666\x01\t-666", 0},
                          {"TB+123", 0},    {"TB 123", 0}};
    for (const auto& c : cases) EXPECT_EQ(serial_from_text(c.text), c.serial) << c.text;
}

TEST(BootEnv, FlagsFromTheFirstEightCharacters) {
    struct Case {
        const char* text;
        int flags;
    };
    const Case cases[] = {{"72", 72}, {"64abc", 64}, {"123456789", 12345678}, {"", 0}, {"-1", 0},
                          {" 64", 0}, {"+64", 0},    {"00000072", 72}};
    for (const auto& c : cases) EXPECT_EQ(mm_flags_from_text(c.text), c.flags) << c.text;
}

}  // namespace
}  // namespace ovik
