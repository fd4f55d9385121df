#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "base/process.h"
#include "check_world.h"
#include "checks/local/local_checks.h"
#include "private_mounts.h"
#include "temp_dir.h"

namespace ovik {
namespace {

using testsupport::capture_call;
using testsupport::Outcome;
using testsupport::TempDir;

void write_result(const std::string& text) {
    std::ofstream(TPM_RESULT_PATH) << text;
}

// Stands in for the device's producer: writes the result file again whenever it was consumed.
class Producer {
  public:
    explicit Producer(std::string text) : text_(std::move(text)) {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                if (::access(TPM_RESULT_PATH, F_OK) != 0) {
                    write_result(text_);
                    ++written_;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~Producer() {
        stop_.store(true);
        thread_.join();
    }
    int written() const { return written_.load(); }

  private:
    std::string text_;
    std::atomic<bool> stop_{false};
    std::atomic<int> written_{0};
    std::thread thread_;
};

class TpmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OVIK_NEED_PRIVATE_MOUNTS();
        ::unlink(TPM_RESULT_PATH);
    }
};

TEST_F(TpmTest, ExpectedTextAnywherePassesAndConsumesTheFile) {
    write_result("TPM Version: 01010000 \n");
    const Outcome tpm = capture_call(testTPM);
    EXPECT_EQ(tpm.result, 0);
    EXPECT_EQ(tpm.out, "=======================\nPASS : testTPM\n=======================\n");
    EXPECT_NE(::access(TPM_RESULT_PATH, F_OK), 0) << "consumed";

    write_result("Self test Successfully completed\n");
    EXPECT_EQ(capture_call(testTPM2).result, 0);
    EXPECT_NE(::access(TPM_RESULT_PATH, F_OK), 0);
}

TEST_F(TpmTest, WrongContentGetsThreeFreshAttempts) {
    Producer producer("01020000\n");
    const Outcome o = capture_call(testTPM);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "[testTPM][1249] : tpm_ver wrong: 01020000\n.\n");
    EXPECT_GE(producer.written(), 3);
}

TEST_F(TpmTest, EmptyFileIsWrongContent) {
    Producer producer("");
    EXPECT_EQ(capture_call(testTPM2).out, "[testTPM2][1316] : tpm_ver wrong: .\n");
}

TEST_F(TpmTest, NoResultFileFailsAfterOneSecondChance) {
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome o = capture_call(testTPM2);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "[testTPM2][1287] : Unable to open fd: /dev/shm/tpm_ver[errno: 2] \n");
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
}

TEST(TpmPipeline, ProducerPipelineWritesOnlyTheMatchingLines) {
    TempDir dir;
    const std::string tool =
        dir.write_script("eltt2", "echo 'TPM2 self test'; echo 'Test Successfully done'\n");
    const std::string out = dir.file("tpm_ver");
    EXPECT_EQ(run_pipeline_to_file({tool, "-t"}, {"grep", "Successfully"}, out), 0);
    EXPECT_EQ(TempDir::read(out), "Test Successfully done\n");
    // A failing self test leaves an empty file.
    const std::string failing = dir.write_script("eltt2-bad", "echo 'TPM error'; exit 1\n");
    EXPECT_EQ(run_pipeline_to_file({failing, "-t"}, {"grep", "Successfully"}, out), 1);
    EXPECT_EQ(TempDir::read(out), "");
}

}  // namespace
}  // namespace ovik
