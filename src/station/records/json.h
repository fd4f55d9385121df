// JSON as the station writes it: nlohmann's ordered_json, so keys come out in the order they
// are set, dumped as plain ASCII. Strings handed to it must be UTF-8; texts from devices,
// operators and databases go through utf8_of_latin1 first.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "wire/frames.h"

namespace ovik::station {

using Json = nlohmann::ordered_json;

// On one line without spaces: the dashboard's snapshot and the web server's answers.
std::string json_line(const Json& value);

// The report file's layout: objects and arrays down to open_levels deep one member a line,
// indented two spaces a level from indent; deeper ones on one line with ", " and ": ".
std::string json_layout(const Json& value, const std::string& indent, int open_levels);

// The ports a report lists: those the agent tests, and any other with a count.
bool port_listed(const wire::ResponseFrame& f, std::size_t i);
// Appends the byte c, read as Latin-1, as UTF-8.
void append_utf8(std::string& out, unsigned char c);
// The record as a JSON value: every field, the items and ports that are listed.
Json record_value(const wire::ResponseFrame& f);

// Texts from devices, operators and databases are bytes, those above 0x7F Latin-1; the reports
// hold them as UTF-8, so any text is valid JSON, CSV and XML.
std::string utf8_of_latin1(std::string_view text);

// The record as JSON, a field a line two spaces in from indent, the closing brace at indent.
std::string record_json(const wire::ResponseFrame& f, const std::string& indent);

}  // namespace ovik::station
