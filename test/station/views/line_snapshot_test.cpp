// The dashboard's snapshot of the line: each agent's colour, the totals and the JSON the pages
// read.
#include <gtest/gtest.h>

#include "station/views/line_snapshot.h"
#include "station_support.h"

namespace ovik::station::test {
namespace {

using namespace wire;

ResponseFrame record(uint32_t serial, uint32_t item_fail = 0, uint32_t port_fail = 0) {
    ResponseFrame f;
    f.serial = serial;
    f.cycles = 7;
    f.burntime = 3725;
    f.status = STATUS_RUNNING;
    f.portnum = 2;
    const std::string name = "COM";
    std::copy(name.begin(), name.end(), f.item[0].name.begin());
    f.item[0].fail = item_fail;
    f.portfail[1] = port_fail;
    return f;
}

LineDevice device(Phase phase, Verdict verdict, std::optional<ResponseFrame> f,
                  DownloadResult download = DownloadResult::not_requested, uint32_t progress = 0) {
    return LineDevice{AgentReport{"10.0.0.5", verdict, download, "", f, std::nullopt, 0}, phase,
                      progress};
}

TEST(LineSnapshot, TileColourFollowsFailuresVerdictAndDownload) {
    struct Case {
        const char* name;
        LineDevice device;
        Health health;
    };
    const Case cases[] = {
        {"no answer yet", device(Phase::polling, Verdict::pending, std::nullopt), Health::waiting},
        {"running clean", device(Phase::running, Verdict::pending, record(1)), Health::clean},
        {"item failed", device(Phase::running, Verdict::pending, record(1, 2)), Health::failing},
        {"port failed", device(Phase::running, Verdict::pending, record(1, 0, 3)), Health::failing},
        {"passed", device(Phase::done, Verdict::passed, record(1)), Health::clean},
        {"declared failed", device(Phase::done, Verdict::failed, record(1)), Health::failing},
        {"lost", device(Phase::done, Verdict::lost, std::nullopt), Health::failing},
        {"cut short", device(Phase::done, Verdict::stopped, record(1)), Health::stopped},
        {"cut short after a failure of its own",
         device(Phase::done, Verdict::stopped, record(1, 1)), Health::failing},
        {"downloading",
         device(Phase::downloading, Verdict::passed, record(1), DownloadResult::pending, 40),
         Health::clean},
        {"download failed", device(Phase::done, Verdict::passed, record(1), DownloadResult::failed),
         Health::failing},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(health_of(c.device), c.health) << c.name;
    }
    LineDevice rebooted = device(Phase::start, Verdict::pending, record(1));
    rebooted.rebooted = true;  // being taken through a start to a stop declared failed
    EXPECT_EQ(health_of(rebooted), Health::failing);
    EXPECT_NE(line_json({"line-3", "running", std::nullopt, 0}, {rebooted})
                  .find("\"state\":\"rebooted\""),
              std::string::npos);
}

TEST(LineSnapshot, JsonHoldsTotalsAndEachAgentsFailuresOnOneLine) {
    ResponseFrame failing = record(4002, 2, 3);
    failing.portfail[9] = 1;   // beyond portnum, but counted: listed all the same
    failing.item[5].fail = 4;  // unnamed
    const std::vector<LineDevice> devices = {
        device(Phase::running, Verdict::pending, record(4001)),
        device(Phase::running, Verdict::pending, failing),
        device(Phase::downloading, Verdict::passed, record(4003), DownloadResult::pending, 45),
        device(Phase::done, Verdict::passed, record(4004)),
        device(Phase::polling, Verdict::pending, std::nullopt),
    };
    RunPlan plan;
    plan.firmware = "fw-1.2\xe9.bin";  // a Latin-1 byte
    plan.duration = Millis(3600000);
    const std::string json = line_json({"line-3", "running", plan, 1700000000}, devices);

    EXPECT_EQ(json.find('\n'), std::string::npos) << json;
    EXPECT_EQ(json.rfind("{\"station\":\"line-3\",\"state\":\"running\",\"started_at\":1700000000,"
                         "\"plan\":{\"duration_ms\":3600000,\"baud\":115200,\"firmware\":"
                         "\"fw-1.2\\u00e9.bin\",\"declare_fail\":false,\"stop_all_on_fail\":false},"
                         "\"totals\":{\"devices\":5,\"waiting\":1,\"clean\":3,\"failing\":1,"
                         "\"stopped\":0,\"running\":2,\"downloading\":1,\"done\":1,\"passed\":1},"
                         "\"devices\":[{\"key\":\"10.0.0.5\",\"serial\":4001,",
                         0),
              0u)
        << json;
    const char* expected[] = {
        "\"serial\":4002,\"address\":\"10.0.0.5\",\"state\":\"running\",\"done\":false,"
        "\"verdict\":\"pending\",\"health\":\"failing\",\"download\":\"not requested\","
        "\"progress\":null,\"reason\":\"\",\"cycles\":7,\"burntime\":3725,\"burn\":\"1:02:05\","
        "\"failed_items\":\"COM:2 item5:4\",\"failed_ports\":\"1:3 9:1\",\"status\":\"running\"",
        "\"items\":[{\"name\":\"COM\",\"fail\":2},{\"name\":\"item5\",\"fail\":4}],"
        "\"ports\":[{\"port\":0,\"fail\":0},{\"port\":1,\"fail\":3},{\"port\":9,\"fail\":1}]}",
        "\"serial\":4003,\"address\":\"10.0.0.5\",\"state\":\"downloading\",\"done\":false,"
        "\"verdict\":\"passed\",\"health\":\"clean\",\"download\":\"pending\",\"progress\":45,",
        "\"serial\":4004,\"address\":\"10.0.0.5\",\"state\":\"passed\",\"done\":true,",
        "\"serial\":null,\"address\":\"10.0.0.5\",\"state\":\"polling\",\"done\":false,"
        "\"verdict\":\"pending\",\"health\":\"waiting\",\"download\":\"not requested\","
        "\"progress\":null,\"reason\":\"\",\"cycles\":null,",
    };
    for (const char* part : expected) {
        EXPECT_NE(json.find(part), std::string::npos) << part << "\nin " << json;
    }

    const std::string records = line_json({"line-3", "records", std::nullopt, 0}, {});
    EXPECT_NE(records.find("\"started_at\":null,\"plan\":null,\"totals\":{\"devices\":0,"),
              std::string::npos)
        << records;
    EXPECT_NE(records.find("\"devices\":[]}"), std::string::npos) << records;
}

}  // namespace
}  // namespace ovik::station::test
