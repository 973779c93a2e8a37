// The node's answers as the tool prints them: records (names and values in turn, as the
// control interface sends them) turned into JSON or into plain text.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/Variant.h"

namespace sablewick::ctl {

using Fields = std::vector<std::pair<std::string, vbs::Variant>>;

// The elements of a one-dimension array; nothing for anything else.
std::vector<vbs::Variant> Items(const vbs::Variant& array);
// A record's fields in order.
Fields FieldsOf(const vbs::Variant& record);
// The field's value, Empty when the record has no such field.
const vbs::Variant& Field(const Fields& fields, std::string_view name);

// JSON of a value: numbers, true/false, null, strings, arrays of values.
std::string Json(const vbs::Variant& value);
std::string JsonString(std::string_view text);
// A record as a JSON object; with nest, "a.b" names become members b of an object a.
std::string JsonObject(const Fields& fields, bool nest = false);
// A list of records as a JSON array of objects.
std::string JsonList(const std::vector<vbs::Variant>& records);

// A value as a person reads it: integers without a fraction, yes/no, arrays joined by ",".
std::string Plain(const vbs::Variant& value);
// Text from files and the network as it may reach a terminal: control characters (C0, DEL,
// and C1 in UTF-8), which could move the cursor, recolour or retitle the terminal, are shown
// as \xNN or \u00NN; bytes that are not UTF-8 as \xNN. A backslash stays as it is.
std::string TerminalSafe(std::string_view text);
// "1d 02h 03m 04s" for seconds.
std::string Duration(double seconds);
// "2026-12-10 13:45:01.123" in local time for seconds since 1970.
std::string LocalTime(double unixSeconds, bool withDate);

}  // namespace sablewick::ctl
