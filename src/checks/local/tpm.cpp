#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/console.h"
#include "base/process.h"
#include "base/unique_fd.h"
#include "checks/local/local_checks.h"
#include "plan/error_log.h"

namespace ovik {
namespace {

struct TpmTest {
    const char* name;
    const char* expected;
    bool delete_before_second_open;
    int site_open;
    int site_read;
    int site_content;
};

constexpr int ATTEMPTS = 3;
constexpr int WAIT_MS = 200;

int check_tpm_result(const TpmTest& t) {
    int failures = 0;
    for (;;) {
        UniqueFd fd(::open(TPM_RESULT_PATH, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            if (t.delete_before_second_open) ::unlink(TPM_RESULT_PATH);
            sleep_ms(WAIT_MS);
            fd.reset(::open(TPM_RESULT_PATH, O_RDONLY | O_CLOEXEC));
            if (!fd.valid()) {
                say("[%s][%d] : Unable to open fd: %s[errno: %d] \n", t.name, t.site_open,
                    TPM_RESULT_PATH, errno);
                return -1;
            }
        }
        char text[257] = {};
        const ssize_t n = ::read(fd.get(), text, 256);
        fd.reset();
        ::unlink(TPM_RESULT_PATH);
        if (n >= 0 && std::strstr(text, t.expected) != nullptr) {
            say_framed("PASS : %s", t.name);
            return 0;
        }
        ++failures;
        sleep_ms(WAIT_MS);
        if (failures >= ATTEMPTS) {
            if (n >= 0) {
                say("[%s][%d] : tpm_ver wrong: %s.\n", t.name, t.site_content, text);
            } else {
                say("[%s][%d] : Read TPM version: %s error.\n", t.name, t.site_read,
                    TPM_RESULT_PATH);
            }
            return -1;
        }
    }
}

}  // namespace

int testTPM() {
    return check_tpm_result({"testTPM", "01010000", true, 1222, 1237, 1249});
}

int testTPM2() {
    return check_tpm_result({"testTPM2", "Successfully", false, 1287, 1303, 1316});
}

void tpm2_probe_loop() {
    ::unlink(TPM_RESULT_PATH);
    for (;;) {
        if (file_exists(TPM_RESULT_PATH) == 0) {
            // eltt2 -t | grep Successfully > /dev/shm/tpm_ver
            run_pipeline_to_file({"eltt2", "-t"}, {"grep", "Successfully"}, TPM_RESULT_PATH);
        }
        // Every pass waits, also one that could not make the file: an image without the
        // tools must not cost the device a core.
        sleep_ms(5);
    }
}

bool Tpm2Prober::start() {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // The child dies with the agent, so no prober outlives it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        tpm2_probe_loop();
    }
    pid_ = pid;
    return true;
}

Tpm2Prober::~Tpm2Prober() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace ovik
