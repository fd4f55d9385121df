#include "plan/error_log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include "base/console.h"
#include "base/unique_fd.h"

namespace ovik {

std::string format_error_record(std::time_t t, const char* message) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string record = stamp;
    record += " - ";
    record += message;
    return record;
}

bool append_error_record(const char* path, std::time_t t, const char* message) {
    UniqueFile log(std::fopen(path, "a"));
    if (!log) return false;
    const std::string record = format_error_record(t, message);
    std::fputs(record.c_str(), log.get());
    return true;
}

int file_exists(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? 1 : 0;
}

void ErrorLog::writeErrorLog(const char* message) {
    if (!append_error_record(path_.c_str(), std::time(nullptr), message)) {
        say("Fail to create log file.\n");
    }
}

void ErrorLog::report_failure(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(errmsg, sizeof errmsg, fmt, ap);
    va_end(ap);
    say("%s-%s", "DIE", errmsg);
    writeErrorLog(errmsg);
}

void ErrorLog::report_bare(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(errmsg, sizeof errmsg, fmt, ap);
    va_end(ap);
    say("%s", errmsg);
    writeErrorLog(errmsg);
}

void ErrorLog::say_and_log(const char* fmt, const char* fn, int site_console, int site_log,
                           const char* arg) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    say(fmt, fn, site_console, arg);
    std::snprintf(errmsg, sizeof errmsg, fmt, fn, site_log, arg);
#pragma GCC diagnostic pop
    writeErrorLog(errmsg);
}

}  // namespace ovik
