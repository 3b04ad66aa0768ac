// Reading back what the toviipc tool prints with --json, for the demo and for tests.
#pragma once

#include <map>
#include <string>

namespace toviipc {

// The fields of one event line: strings unescaped, other values as written (numbers,
// true/false, and arrays of numbers without their brackets, e.g. "1,2,3").
using event_fields = std::map<std::string, std::string>;

// Parses one line holding a flat JSON object of such values. False when the line is not one.
bool parse_event_line(const std::string& line, event_fields* out);

// True when the fields are those of the named event and hold every field of with, equal.
bool event_matches(const event_fields& fields, const std::string& event, const event_fields& with);

}  // namespace toviipc
