// What the operator reads: JSON texts, the verdict table, the live line's pieces, the exit
// status.
#include <gtest/gtest.h>

#include "station/report.h"

namespace ovik::station::test {
namespace {

using namespace wire;

template <std::size_t N>
void put_text(std::array<char, N>& field, const std::string& text) {
    field.fill('\0');
    std::copy(text.begin(), text.end(), field.begin());
}

TEST(StationReport, JsonStringEscapesWhatJsonForbids) {
    const std::pair<std::string, std::string> cases[] = {
        {"COM", "\"COM\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("a\0b\x1f\x7f", 5), "\"a\\u0000b\\u001f\\u007f\""},
        {"caf\xe9", "\"caf\\u00e9\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(json_string(text), json);
}

TEST(StationReport, RecordJsonKeepsNamedItemsAndPortsInUseOrFailing) {
    ResponseFrame f;
    f.portnum = 2;
    f.portfail[1] = 4;
    f.portfail[5] = 2;
    put_text(f.item[0].name, "COM");
    f.item[0].fail = 3;
    f.item[1].fail = 9;  // no name: not an item of this device
    put_text(f.item[2].name, "LAN");
    put_text(f.wlan0_ssid, "AP\"1\n");
    f.datetime = {5, 4, 3, 2, 0, 124};
    const std::string j = record_json(f, "");
    EXPECT_NE(j.find("\"portfail\": {\"port 0\": 0, \"port 1\": 4, \"port 5\": 2},"),
              std::string::npos)
        << j;
    EXPECT_NE(
        j.find("\"items\": [{\"name\": \"COM\", \"fail\": 3}, {\"name\": \"LAN\", \"fail\": 0}],"),
        std::string::npos)
        << j;
    EXPECT_NE(j.find("\"wlan0_ssid\": \"AP\\\"1\\n\","), std::string::npos) << j;
    EXPECT_NE(j.find("\"datetime\": \"2024-01-02 03:04:05\","), std::string::npos) << j;
    EXPECT_EQ(j.substr(j.size() - 3), "\"\n}");  // no comma after the last field
}

TEST(StationReport, ExitStatusNeedsEveryRunAndAskedDownloadToPass) {
    using V = Verdict;
    using D = DownloadResult;
    struct Case {
        std::vector<std::pair<V, D>> agents;
        int status;
    };
    const Case cases[] = {
        {{}, 2},
        {{{V::passed, D::not_requested}}, 0},
        {{{V::passed, D::done}, {V::passed, D::done}}, 0},
        {{{V::passed, D::no_answer}}, 1},
        {{{V::passed, D::failed}}, 1},
        {{{V::passed, D::not_requested}, {V::lost, D::not_requested}}, 1},
        {{{V::failed, D::skipped}}, 1},
        {{{V::refused, D::not_requested}}, 1},
    };
    for (const Case& c : cases) {
        std::vector<AgentReport> reports;
        for (const auto& [verdict, download] : c.agents) {
            reports.push_back(AgentReport{"10.0.0.5", verdict, download, "", std::nullopt});
        }
        EXPECT_EQ(exit_status(reports), c.status) << reports.size();
    }
}

TEST(StationReport, VerdictTableShowsCountersFailuresAndReasons) {
    ResponseFrame f;
    f.serial = 1234;
    f.cycles = 77;
    f.burntime = 3725;
    put_text(f.item[0].name, "COM");
    f.item[0].fail = 3;
    f.item[5].fail = 2;
    f.portfail[7] = 1;
    const std::vector<AgentReport> reports = {
        {"10.0.0.5", Verdict::failed, DownloadResult::skipped, "", f},
        {"10.0.0.6", Verdict::lost, DownloadResult::skipped, "no answer to polling", std::nullopt},
    };
    EXPECT_EQ(
        verdict_table(reports),
        "SERIAL  ADDRESS   VERDICT  CYCLES  BURN TIME  FAILED ITEMS   FAILED PORTS  DOWNLOAD\n"
        "1234    10.0.0.5  failed   77      1:02:05    COM:3 item5:2  7:1           skipped\n"
        "?       10.0.0.6  lost     -       -          -              -             skipped\n"
        "10.0.0.6: no answer to polling\n"
        "0 of 2 agents passed\n");
}

TEST(StationReport, ProgressBarFillsWithThePercentage) {
    const std::pair<uint32_t, std::string> cases[] = {
        {0, "[....................]   0%"},
        {25, "[#####...............]  25%"},
        {100, "[####################] 100%"},
        {140, "[####################] 100%"},
    };
    for (const auto& [percent, bar] : cases) EXPECT_EQ(progress_bar(percent), bar);
}

}  // namespace
}  // namespace ovik::station::test
