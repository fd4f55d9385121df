// The error log: one time-stamped record per failure in shared memory, so the reasons behind
// the failure counters can be read off the device after a run.
#pragma once

#include <ctime>
#include <string>

namespace ovik {

inline constexpr const char* ERROR_LOG_PATH = "/dev/shm/ErrorLog.txt";
inline constexpr std::size_t ERRMSG_SIZE = 256;

// The failure message buffer; tests run one at a time, so it has one user at a time.
extern char errmsg[ERRMSG_SIZE];

// Appends "<UTC time stamp> - <message>" to the error log; the message brings its own line end.
void writeErrorLog(const char* message);

// The record for message at time t, as writeErrorLog writes it.
std::string format_error_record(std::time_t t, const char* message);

// Appends one record to the log file at path; false when the file cannot be opened.
bool append_error_record(const char* path, std::time_t t, const char* message);

// 1 when the path exists (stat succeeds), else 0.
int file_exists(const char* path);

// A test's failure report: formats errmsg, prints it as a DIE line unless quiet and always logs it.
void report_failure(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ovik
