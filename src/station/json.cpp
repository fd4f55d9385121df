#include "station/json.h"

namespace ovik::station {
namespace {

void lay_out(std::string& out, const Json& value, const std::string& indent, int open_levels) {
    if (!value.is_structured() || value.empty()) {
        out += json_line(value);
        return;
    }
    const bool open = open_levels > 0;
    const std::string inner = indent + "  ";
    out += value.is_object() ? '{' : '[';
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin()) out += open ? "," : ", ";
        if (open) out += "\n" + inner;
        if (value.is_object()) out += json_line(it.key()) + ": ";
        lay_out(out, it.value(), inner, open_levels - 1);
    }
    if (open) out += "\n" + indent;
    out += value.is_object() ? '}' : ']';
}

}  // namespace

std::string json_line(const Json& value) {
    // The texts are UTF-8 already; replacing keeps one that was missed from throwing on a web
    // server thread.
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::string json_layout(const Json& value, const std::string& indent, int open_levels) {
    std::string out;
    lay_out(out, value, indent, open_levels);
    return out;
}

}  // namespace ovik::station
