// The report files of a run (--json, --csv, --junit), each written whole: the text goes to a new
// file in the same folder, is flushed to disk and renamed over the path, so that a station that
// is killed on the way leaves the previous file or none, never an empty or partial one for a
// folder watcher to pick up.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/records/run_db.h"
#include "station/session/agent_report.h"

namespace ovik::station {

// Why no file can be put at path, or nullopt when one can: a file is created in its folder and
// removed again. A file already at path is left as it is, never opened.
std::optional<std::string> check_replaceable(const std::string& path);

// Puts a file holding text at path, whole or not at all (a file already there keeps its mode);
// why not, or nullopt once the file and its folder are on disk.
std::optional<std::string> write_file_whole(const std::string& path, std::string_view text);

struct ReportFile {
    const char* option;  // "--json"
    std::string path;    // "" when none was asked for
    std::string (*render)(const std::vector<AgentReport>&);
};
using ReportFileSet = std::array<ReportFile, 3>;

ReportFileSet report_files(const ReportFiles& paths);

}  // namespace ovik::station
