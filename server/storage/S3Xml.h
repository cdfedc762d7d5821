#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Just enough XML for S3's answers: flat documents whose elements of one name never nest in
// each other, text escaped with the five entities and character references.
namespace s3xml {

// The raw contents of every element called `name`, in document order.
std::vector<std::string_view> elements(std::string_view xml, std::string_view name);
// The raw contents of the first element called `name`.
std::optional<std::string_view> element(std::string_view xml, std::string_view name);
// The unescaped text of the first element called `name`; empty when there is none.
std::string text(std::string_view xml, std::string_view name);

std::string unescape(std::string_view raw);
std::string escape(std::string_view text);

// "2026-12-09T11:53:45.858Z" -> seconds since 1970; nullopt when it is not such a time.
std::optional<std::int64_t> parseTimestamp(std::string_view iso8601);

} // namespace s3xml
