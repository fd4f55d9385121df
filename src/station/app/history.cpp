// ovikstation history: a device's runs from the records, newest first.
#include "station/app/cli.h"
#include "station/app/commands.h"
#include "station/records/records_writer.h"
#include "station/views/report.h"

namespace ovik::station {

void name_kept_unwritten(const char* command, RunRecords& records, const std::string& db,
                         std::FILE* err) {
    const std::string name = run_db_name(db);
    for (const auto& [run, path] : kept_unwritten(records)) {
        std::fprintf(err,
                     "ovikstation %s: rows of run %lld are kept in %s, not yet in %s: the next "
                     "ovikstation run, resume or abort with --db %s takes them in\n",
                     command, static_cast<long long>(run), path.c_str(), name.c_str(),
                     name.c_str());
    }
}

int history_verb(uint32_t serial, const std::string& where, std::FILE* out, std::FILE* err) {
    std::string error;
    const std::unique_ptr<RunRecords> db = RunRecords::open(where, false, error);
    std::optional<std::vector<RunRecord>> runs;
    if (db) runs = db->history(serial, error);
    const std::string name = run_db_name(where);
    if (!runs) {
        std::fprintf(err, "ovikstation history: cannot read --db %s: %s\n", name.c_str(),
                     error.c_str());
        return EXIT_USAGE;
    }
    name_kept_unwritten("history", *db, where, err);
    if (runs->empty()) {
        std::fprintf(err, "ovikstation history: no run of serial %u in %s\n", serial, name.c_str());
        return EXIT_NO_RUNS;
    }
    std::fprintf(out, "serial %u: %zu run%s in %s, newest first\n", serial, runs->size(),
                 runs->size() == 1 ? "" : "s", name.c_str());
    std::fputs(history_table(*runs).c_str(), out);
    return EXIT_ALL_PASSED;
}

}  // namespace ovik::station
