// JSON as the station writes it: nlohmann's ordered_json, so keys come out in the order they
// are set, dumped as plain ASCII. Strings handed to it must be UTF-8; texts from devices,
// operators and databases go through utf8_of_latin1 first.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace ovik::station {

using Json = nlohmann::ordered_json;

// On one line without spaces: the dashboard's snapshot and the web server's answers.
std::string json_line(const Json& value);

// The report file's layout: objects and arrays down to open_levels deep one member a line,
// indented two spaces a level from indent; deeper ones on one line with ", " and ": ".
std::string json_layout(const Json& value, const std::string& indent, int open_levels);

}  // namespace ovik::station
