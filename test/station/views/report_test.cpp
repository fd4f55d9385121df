// What the operator reads: JSON, CSV and JUnit texts, the verdict table, the live line's pieces,
// the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "station/views/report.h"
#include "station/views/report_file.h"
#include "temp_dir.h"

namespace ovik::station::test {
namespace {

using namespace wire;

template <std::size_t N>
void put_text(std::array<char, N>& field, const std::string& text) {
    field.fill('\0');
    std::copy(text.begin(), text.end(), field.begin());
}

AgentReport report(const char* address, Verdict verdict, DownloadResult download,
                   const std::string& reason = "",
                   std::optional<ResponseFrame> record = std::nullopt) {
    return AgentReport{address, verdict, download, reason, record, std::nullopt, 0};
}

TEST(StationReport, CsvAndXmlEscapeWhatTheyForbid) {
    using S = std::string;
    struct Case {
        S text, csv, xml;
    };
    const S nul_text("a\0b\x1f\x7f", 5);
    const Case cases[] = {
        {"COM", "COM", "COM"},
        {"a\"b\\c", "\"a\"\"b\\c\"", "a&quot;b\\c"},
        {"\n\r\t", "\"\n\r\t\"", "\n\r\t"},
        {nul_text, nul_text, "a?b?\x7f"},
        {"caf\xe9", "caf\xc3\xa9", "caf\xc3\xa9"},
        {"1,2", "\"1,2\"", "1,2"},
        {"<a & 'b'>", "<a & 'b'>", "&lt;a &amp; &apos;b&apos;&gt;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(csv_field(c.text), c.csv);
        EXPECT_EQ(xml_text(c.text), c.xml);
    }
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
    f.datetime = {5, 4, 3, 2, 0, 124};
    const std::string j = record_json(f, "");
    EXPECT_NE(j.find("\"portfail\": {\"port 0\": 0, \"port 1\": 4, \"port 5\": 2},"),
              std::string::npos)
        << j;
    EXPECT_NE(
        j.find("\"items\": [{\"name\": \"COM\", \"fail\": 3}, {\"name\": \"LAN\", \"fail\": 0}],"),
        std::string::npos)
        << j;
    EXPECT_NE(j.find("\"datetime\": \"2024-01-02 03:04:05\","), std::string::npos) << j;
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
        {{{V::stopped, D::not_requested}}, 1},
    };
    for (const Case& c : cases) {
        std::vector<AgentReport> reports;
        for (const auto& [verdict, download] : c.agents) {
            reports.push_back(report("10.0.0.5", verdict, download));
        }
        EXPECT_EQ(exit_status(reports), c.status) << reports.size();
    }
}

// A failed run with failing items and ports, and an agent that never answered.
std::vector<AgentReport> two_reports() {
    ResponseFrame f;
    f.serial = 1234;
    f.status = STATUS_FAIL;
    f.error = ERR_RUN_FAILED;
    f.cycles = 77;
    f.burntime = 3725;
    f.portnum = 2;
    f.portfail[1] = 4;
    put_text(f.item[0].name, "COM");
    f.item[0].fail = 3;
    put_text(f.item[1].name, "LAN<2>");
    f.item[5].fail = 2;
    f.portfail[7] = 1;
    std::vector<AgentReport> reports = {
        report("10.0.0.5", Verdict::failed, DownloadResult::skipped, "", f),
        report("10.0.0.6", Verdict::lost, DownloadResult::skipped,
               "no answer to polling, \"check\" <cabling>"),
    };
    reports[0].started_at = 1700000000;
    reports[0].ended_at = 1700003725;
    reports[1].ended_at = 1700000010;
    return reports;
}

TEST(StationReport, VerdictTableShowsCountersFailuresAndReasons) {
    EXPECT_EQ(
        verdict_table(two_reports()),
        "SERIAL  ADDRESS   VERDICT  CYCLES  BURN TIME  FAILED ITEMS   FAILED PORTS  DOWNLOAD\n"
        "1234    10.0.0.5  failed   77      1:02:05    COM:3 item5:2  1:4 7:1       skipped\n"
        "?       10.0.0.6  lost     -       -          -              -             skipped\n"
        "10.0.0.6: no answer to polling, \"check\" <cabling>\n"
        "0 of 2 agents passed\n");
}

// One member a line down to the record's fields, its lists on one line; device and operator
// texts are Latin-1 bytes.
TEST(StationReport, JsonReportHasAnEntryPerAgentWithItsRecord) {
    std::vector<AgentReport> reports = two_reports();
    put_text(reports[0].record->wlan0_ssid, "caf\xe9");
    reports[1].address = "station-\xe9";
    EXPECT_EQ(report_json({}), "[]\n");
    const std::string j = report_json(reports);
    const char* parts[] = {
        "[\n  {\n    \"serial\": 1234,\n    \"address\": \"10.0.0.5\",\n    \"verdict\": "
        "\"failed\",\n    \"download\": \"skipped\",\n    \"reason\": \"\",\n    \"record\": {\n"
        "      \"code\": 0,\n",
        "      \"status\": 2,\n      \"status_name\": \"failed\",\n      \"error\": 6,\n",
        "      \"portfail\": {\"port 0\": 0, \"port 1\": 4, \"port 7\": 1},\n",
        "      \"items\": [{\"name\": \"COM\", \"fail\": 3}, {\"name\": \"LAN<2>\", \"fail\": "
        "0}],\n",
        "      \"wlan0_ssid\": \"caf\\u00e9\",\n",
        "      \"wlan1_channel\": \"\"\n    }\n  },\n  {\n    \"serial\": null,\n    \"address\": "
        "\"station-\\u00e9\",\n    \"verdict\": \"lost\",\n",
        "    \"record\": null\n  }\n]\n",
    };
    for (const char* part : parts) EXPECT_NE(j.find(part), std::string::npos) << part << j;
}

TEST(StationReport, CsvAndJunitHaveARowAndASuitePerAgent) {
    EXPECT_EQ(report_csv(two_reports()),
              "serial,address,verdict,download,status,error,cycles,burntime,failed_items,"
              "failed_ports,started,ended,reason\n"
              "1234,10.0.0.5,failed,skipped,2,6,77,3725,COM:3 item5:2,1:4 7:1,"
              "2023-11-14T22:13:20Z,2023-11-14T23:15:25Z,\n"
              ",10.0.0.6,lost,skipped,,,,,,,,2023-11-14T22:13:30Z,"
              "\"no answer to polling, \"\"check\"\" <cabling>\"\n");
    EXPECT_EQ(
        report_junit(two_reports()),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<testsuites name=\"ovikstation\" tests=\"8\" failures=\"6\">\n"
        "  <testsuite name=\"1234\" tests=\"7\" failures=\"5\" time=\"3725\" "
        "timestamp=\"2023-11-14T22:13:20\" hostname=\"10.0.0.5\">\n"
        "    <testcase classname=\"1234\" name=\"COM\">\n"
        "      <failure message=\"3 failures\"/>\n"
        "    </testcase>\n"
        "    <testcase classname=\"1234\" name=\"LAN&lt;2&gt;\"/>\n"
        "    <testcase classname=\"1234\" name=\"item5\">\n"
        "      <failure message=\"2 failures\"/>\n"
        "    </testcase>\n"
        "    <testcase classname=\"1234\" name=\"port 0\"/>\n"
        "    <testcase classname=\"1234\" name=\"port 1\">\n"
        "      <failure message=\"4 failures\"/>\n"
        "    </testcase>\n"
        "    <testcase classname=\"1234\" name=\"port 7\">\n"
        "      <failure message=\"1 failure\"/>\n"
        "    </testcase>\n"
        "    <testcase classname=\"1234\" name=\"verdict\">\n"
        "      <failure message=\"failed, download skipped\">failed items COM:3 item5:2, failed "
        "ports 1:4 7:1</failure>\n"
        "    </testcase>\n"
        "  </testsuite>\n"
        "  <testsuite name=\"10.0.0.6\" tests=\"1\" failures=\"1\" time=\"0\" "
        "hostname=\"10.0.0.6\">\n"
        "    <testcase classname=\"10.0.0.6\" name=\"verdict\">\n"
        "      <failure message=\"lost, download skipped\">no answer to polling, "
        "&quot;check&quot; &lt;cabling&gt;</failure>\n"
        "    </testcase>\n"
        "  </testsuite>\n"
        "</testsuites>\n");
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

TEST(StationReport, FileIsReplacedWholeKeepingItsModeAndNothingBeside) {
    const testsupport::TempDir dir;
    const std::string path = dir.write("r.json", "the last run's\n");
    ::chmod(path.c_str(), 0640);
    EXPECT_EQ(check_replaceable(path), std::nullopt);
    EXPECT_EQ(testsupport::TempDir::read(path), "the last run's\n");
    EXPECT_EQ(write_file_whole(path, "this run's\n"), std::nullopt);
    EXPECT_EQ(testsupport::TempDir::read(path), "this run's\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U);
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.file("")), {});
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(write_file_whole(dir.file("none/r.json"), "x"), "No such file or directory");
    EXPECT_EQ(check_replaceable(dir.file("")), "Is a directory");
}

}  // namespace
}  // namespace ovik::station::test
