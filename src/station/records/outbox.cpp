#include "station/records/outbox.h"

#include <utility>

#include "station/records/run_db.h"

namespace ovik::station {

std::unique_ptr<Outbox> Outbox::open(const std::string& where, const std::string& station,
                                     std::string& error) {
    if (!RunRecords::open(where, true, error)) return nullptr;  // the table, when it is missing
    std::unique_ptr<records::RecordsConnection> c = records::connect(where, true, error);
    if (!c) return nullptr;
    c->set_patience(c->writer_patience());
    return std::make_unique<Outbox>(std::move(c), station);
}

Outbox::Outbox(std::unique_ptr<records::RecordsConnection> c, std::string station)
    : c_(std::move(c)), station_(std::move(station)) {}

bool Outbox::transaction(
    const std::vector<std::pair<const char*, std::vector<records::Value>>>& sql,
    std::vector<int64_t>* ids, std::string& error) {
    return records::retried(
        *c_,
        [&] {
            records::Transaction t(*c_, c_->dialect().begin_write, error);
            if (!t.open()) return false;
            std::vector<int64_t> got;
            for (const auto& [statement, values] : sql) {
                const std::optional<records::Rows> r = c_->query(statement, values, error);
                if (!r) return false;
                if (r->size() == 1) got.push_back((*r)[0].number(0).value_or(0));
            }
            if (!t.commit(error)) return false;
            if (ids != nullptr) *ids = std::move(got);
            return true;
        },
        error);
}

bool Outbox::append(std::vector<OutboxMessage>& messages, std::string& error) {
    std::vector<std::pair<const char*, std::vector<records::Value>>> sql;
    sql.reserve(messages.size());
    for (const OutboxMessage& m : messages) {
        sql.emplace_back(
            "INSERT INTO outbox (station, run, number, topic, body, retained) VALUES "
            "($1, $2, $3, $4, $5, $6) RETURNING id",
            std::vector<records::Value>{station_, m.run, m.number, m.topic, m.body,
                                        int64_t{m.retained ? 1 : 0}});
    }
    std::vector<int64_t> ids;
    if (!transaction(sql, &ids, error)) return false;
    for (std::size_t i = 0; i < messages.size() && i < ids.size(); ++i) messages[i].id = ids[i];
    return true;
}

std::optional<std::vector<OutboxMessage>> Outbox::next(int64_t after, std::size_t limit,
                                                       std::string& error) {
    const records::Value key[] = {station_, after, static_cast<int64_t>(limit)};
    std::optional<records::Rows> r;
    if (!records::retried(
            *c_,
            [&] {
                r = c_->query(
                    "SELECT id, run, number, topic, body, retained FROM outbox WHERE "
                    "station = $1 AND sent_at IS NULL AND id > $2 ORDER BY id LIMIT $3",
                    key, error);
                return r.has_value();
            },
            error)) {
        return std::nullopt;
    }
    std::vector<OutboxMessage> messages;
    messages.reserve(r->size());
    for (std::size_t i = 0; i < r->size(); ++i) {
        const records::Rows::Row row = (*r)[i];
        messages.push_back(OutboxMessage{row.number(0).value_or(0), row.number(1).value_or(0),
                                         row.number(2).value_or(0), row.text(3), row.text(4),
                                         row.number(5).value_or(0) != 0});
    }
    return messages;
}

bool Outbox::mark_sent(const std::vector<int64_t>& ids, int64_t at, std::string& error) {
    std::vector<std::pair<const char*, std::vector<records::Value>>> sql;
    sql.reserve(ids.size());
    for (const int64_t id : ids) {
        sql.emplace_back("UPDATE outbox SET sent_at = $2 WHERE id = $1",
                         std::vector<records::Value>{id, at});
    }
    return transaction(sql, nullptr, error);
}

std::optional<std::size_t> Outbox::unsent(std::string& error) {
    const records::Value key[] = {station_};
    std::optional<records::Rows> r;
    if (!records::retried(
            *c_,
            [&] {
                r = c_->query("SELECT COUNT(*) FROM outbox WHERE station = $1 AND sent_at IS NULL",
                              key, error);
                return r.has_value();
            },
            error)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>((*r)[0].number(0).value_or(0));
}

std::optional<std::map<int64_t, int64_t>> Outbox::last_numbers(const std::vector<int64_t>& runs,
                                                               std::string& error) {
    std::map<int64_t, int64_t> last;
    for (const int64_t run : runs) {
        const records::Value key[] = {run};
        const std::optional<records::Rows> r =
            c_->query("SELECT MAX(number) FROM outbox WHERE run = $1", key, error);
        if (!r) return std::nullopt;
        if (const std::optional<int64_t> n = (*r)[0].number(0)) last[run] = *n;
    }
    return last;
}

}  // namespace ovik::station
