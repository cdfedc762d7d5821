#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

// JSON by nlohmann-json, made strict where untrusted input meets it.
namespace json {

using Value = nlohmann::json;
// Answers keep their members in the order they are written.
using Object = nlohmann::ordered_json;

// Request bodies and token payloads. Besides the library's own refusals (bad UTF-8, lone
// surrogates, numbers out of range, trailing text), duplicate member names are refused because
// they make a document ambiguous, and nesting deeper than `maxDepth`.
std::optional<Value> parse(std::string_view text, int maxDepth = 32);

// Compact text. "<" is escaped, so a JSON answer can never be read as markup; bytes that are
// not UTF-8 become U+FFFD rather than an exception.
std::string write(const Object& value);

// The member's string, or null when `value` is no object or the member is missing or no string.
const std::string* stringMember(const Value& value, std::string_view name);

} // namespace json
