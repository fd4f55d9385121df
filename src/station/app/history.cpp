// ovikstation history: a device's runs from the records, newest first.
#include "station/app/cli.h"
#include "station/app/commands.h"
#include "station/app/station.h"
#include "station/views/report.h"

namespace ovik::station {

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
