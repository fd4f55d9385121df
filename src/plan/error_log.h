// The error log: one time-stamped record per failure in shared memory, so the reasons behind
// the failure counters can be read off the device after a run.
#pragma once

#include <ctime>
#include <string>

namespace ovik {

inline constexpr const char* ERROR_LOG_PATH = "/dev/shm/ErrorLog.txt";
inline constexpr std::size_t ERRMSG_SIZE = 256;

// The record for message at time t: "<UTC time stamp> - <message>".
std::string format_error_record(std::time_t t, const char* message);

// Appends one record to the log file at path; false when the file cannot be opened.
bool append_error_record(const char* path, std::time_t t, const char* message);

// 1 when the path exists (stat succeeds), else 0.
int file_exists(const char* path);

// The log and the failure message buffer the tests format their reports into; tests run one
// at a time on the test thread, so the buffer has one user at a time.
class ErrorLog {
  public:
    explicit ErrorLog(std::string path = ERROR_LOG_PATH) : path_(std::move(path)) {}

    // Appends "<UTC time stamp> - <message>"; the message brings its own line end.
    void writeErrorLog(const char* message);

    // A test's failure report: formats errmsg, prints it as a DIE line unless quiet and
    // always logs it.
    void report_failure(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The same printed bare, without the DIE word.
    void report_bare(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Prints the console text unless quiet and logs the same format with another site number:
    // fmt takes the function's name, the site number and one text argument.
    void say_and_log(const char* fmt, const char* fn, int site_console, int site_log,
                     const char* arg);

    const char* errmsg_text() const { return errmsg; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    char errmsg[ERRMSG_SIZE] = {};
};

}  // namespace ovik
