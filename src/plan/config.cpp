#include "plan/config.h"

#include <iniparser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/text.h"
#include "base/unique_fd.h"

namespace ovik {

namespace {

struct DictionaryFree {
    void operator()(dictionary* d) const { iniparser_freedict(d); }
};
using Dictionary = std::unique_ptr<dictionary, DictionaryFree>;

// A configuration the agent cannot run safely; the text names the key and the reason.
struct Refusal {
    std::string reason;
};

class Reader {
  public:
    explicit Reader(dictionary* d) : d_(d) {}

    bool on(const char* key) const { return iniparser_getboolean(d_, key, 0) == 1; }

    int32_t integer(const char* key, int32_t absent) const {
        return iniparser_getint(d_, key, absent);
    }

    // Hexadecimal text, "0x" allowed; conversion stops at the first non-hex character.
    std::optional<uint32_t> hex(const char* key) {
        const char* text = iniparser_getstring(d_, key, nullptr);
        if (text == nullptr) {
            refuse(std::string(key) + ": required key is missing");
            return std::nullopt;
        }
        return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    }

    // A required text that must fit max characters.
    std::string text(const char* key, std::size_t max) {
        const char* value = iniparser_getstring(d_, key, nullptr);
        if (value == nullptr) {
            refuse(std::string(key) + ": required key is missing");
            return {};
        }
        if (std::strlen(value) > max) {
            refuse(std::string(key) + ": value '" + value + "' is longer than " +
                   std::to_string(max) + " characters");
        }
        return value;
    }

    void refuse(std::string reason) {
        if (!refusal_) refusal_ = Refusal{std::move(reason)};
    }
    const std::optional<Refusal>& refusal() const { return refusal_; }

  private:
    dictionary* d_;
    std::optional<Refusal> refusal_;
};

// The mSATA node as a line reader with a 16-byte buffer reads it; "sda" without the file.
std::string read_msata_node() {
    UniqueFile f(std::fopen(MSATA_NODE_PATH, "r"));
    if (!f) return "sda";
    char line[DEVICE_NAME_SIZE] = {};
    if (std::fgets(line, sizeof line, f.get()) == nullptr) return "";
    return line;
}

void check_storage_name(Reader& r, const char* key, const std::string& name) {
    if (name.size() > STORAGE_NAME_MAX) {
        r.refuse(std::string(key) + ": device name '" + name + "' is longer than " +
                 std::to_string(STORAGE_NAME_MAX) + " characters (its mount point is /media/NAME)");
    }
}

// The value of one further key of a row that is on, checked.
void read_key(Reader& r, const TestRow& row, const TestKey& k, std::string& text, int32_t& number) {
    Configuration scratch;
    using Kind = TestKey::Kind;
    switch (k.kind) {
        case Kind::None:
            return;
        case Kind::Text:
            text =
                r.text(k.name, (k.text != nullptr ? k.text(scratch).size() : DEVICE_NAME_SIZE) - 1);
            return;
        case Kind::StorageName:
            text = r.text(k.name, DEVICE_NAME_SIZE - 1);
            check_storage_name(r, k.name, text);
            return;
        case Kind::MsataNode:
            text = read_msata_node();
            check_storage_name(r, k.name, text);
            return;
        case Kind::Integer:
            number = r.integer(k.name, k.absent);
            return;
        case Kind::Interval:
            number = r.integer(k.name, 0);
            return;
        case Kind::Ports:
            number = r.integer(k.name, -1);
            if (number < 0 || number > SERIAL_PORT_MAX) {
                r.refuse(std::string(k.name) + ": " +
                         (number == -1 ? std::string("missing")
                                       : "value " + std::to_string(number) + " out of range") +
                         " while " + row.key + " is on; give the number of ports, 0 to " +
                         std::to_string(SERIAL_PORT_MAX));
            }
            return;
    }
}

void note_on(Reader& r, ConfigFile& v, const char* key) {
    if (v.on(key) || !r.on(key)) return;
    v.on_keys.push_back(key);
}

void read_values(Reader& r, const TestPlan& plan, ConfigFile& v) {
    v.softwareid = r.hex("info:SOFTWARE_ID").value_or(0);
    v.apid = r.hex("info:AP_ID").value_or(0);
    v.downloadfwr = r.on("info:DownloadFWR");

    const std::span<const TestRow> rows = plan.rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TestRow& row = rows[i];
        note_on(r, v, row.key);
        for (const Condition& c : row.when) {
            if (c.key != nullptr) note_on(r, v, c.key);
        }
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TestRow& row = rows[i];
        if (!v.on(row.key)) continue;
        bool chosen = true;
        for (const Condition& c : row.when) {
            if (c.key != nullptr && v.on(c.key) != c.on) chosen = false;
        }
        if (!chosen) continue;
        ConfigFile::Choice choice;
        choice.row = i;
        for (std::size_t k = 0; k < std::size(row.keys); ++k) {
            read_key(r, row, row.keys[k], choice.texts[k], choice.numbers[k]);
        }
        v.choices.push_back(std::move(choice));
    }
}

void check_plan(Reader& r, const ConfigFile& v, const TestPlan& current) {
    const std::span<const TestRow> rows = current.rows();
    for (const auto& c : v.choices) {
        if (rows[c.row].check == nullptr) {
            r.refuse(std::string(rows[c.row].key) +
                     ": this build of ovikburn has no such test; turn it off");
            return;
        }
    }
    // The item table holds 8 entries: count the numbered slots the plan would then hold.
    const std::span<const TestSlot> slots = current.slots();
    std::vector<bool> filled(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) filled[i] = slots[i].filled();
    for (const auto& c : v.choices) filled[current.slot_index(c.row)] = true;
    for (const auto& c : v.choices) {
        for (const char* item : rows[c.row].empties) {
            if (const TestSlot* s = item != nullptr ? current.find(item) : nullptr) {
                filled[static_cast<std::size_t>(s - slots.data())] = false;
            }
        }
    }
    std::string names;
    std::size_t count = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!filled[i] || !slots[i].numbered()) continue;
        names += (count++ == 0 ? "" : ", ");
        names += slots[i].name;
    }
    if (count > wire::ITEM_COUNT) {
        r.refuse("too many tests: " + std::to_string(count) + " numbered test items (" + names +
                 ") but the result record holds " + std::to_string(wire::ITEM_COUNT) +
                 "; turn some of them off");
    }
}

}  // namespace

bool ConfigFile::on(const char* key) const {
    for (const char* k : on_keys) {
        if (std::strcmp(k, key) == 0) return true;
    }
    return false;
}

ConfigResult read_config(const char* path, const TestPlan& current) {
    Dictionary ini(iniparser_load(path));
    if (!ini) return {std::nullopt, std::string("cannot parse file: ") + path + "\n"};
    iniparser_dump(ini.get(), stdout);

    Reader reader(ini.get());
    ConfigFile file;
    read_values(reader, current, file);
    check_plan(reader, file, current);
    if (reader.refusal()) {
        return {std::nullopt,
                reader.refusal()->reason + "\ncannot parse file: " + std::string(path) + "\n"};
    }
    return {std::move(file), {}};
}

void apply_config(const ConfigFile& v, Configuration& config, TestPlan& plan, TestResult& record) {
    record.softwareid = static_cast<uint16_t>(v.softwareid & 0xFFFF);
    record.apid = v.apid;
    config.downloadfwr = v.downloadfwr ? 1 : 0;

    using Kind = TestKey::Kind;
    for (const ConfigFile::Choice& c : v.choices) {
        const TestRow& row = plan.rows()[c.row];
        TestSlot& slot = plan.slot_of(c.row);
        slot.row = &row;
        for (std::size_t k = 0; k < std::size(row.keys); ++k) {
            const TestKey& key = row.keys[k];
            switch (key.kind) {
                case Kind::None:
                    break;
                case Kind::Text:
                case Kind::StorageName:
                case Kind::MsataNode:
                    if (key.text != nullptr) {
                        const std::span<char> field = key.text(config);
                        copy_text(field.data(), field.size(), c.texts[k]);
                    } else {
                        copy_text(slot.device, c.texts[k]);
                    }
                    break;
                case Kind::Integer:
                    key.integer(config) = c.numbers[k];
                    break;
                case Kind::Ports:
                    record.portnum = static_cast<uint16_t>(c.numbers[k]);
                    break;
                case Kind::Interval:
                    slot.interval = c.numbers[k];
                    slot.countdown = c.numbers[k];
                    break;
            }
        }
        if (row.apply != nullptr) row.apply(config);
    }
    for (const ConfigFile::Choice& c : v.choices) {
        for (const char* item : plan.rows()[c.row].empties) {
            if (item == nullptr) continue;
            for (TestSlot& s : plan.slots()) {
                if (s.numbered() && std::strcmp(s.name, item) == 0) s.row = nullptr;
            }
        }
    }
}

}  // namespace ovik
