#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Small text helpers shared by the pages, the headers and the log.
namespace text {

bool isValidUtf8(std::string_view bytes);
std::string toLower(std::string_view value);
std::string trim(std::string_view value);
// An HTTP token (a header name): one or more of the characters RFC 9110 allows, nothing else.
bool isToken(std::string_view value);

// Escapes for HTML text and attribute values. Control characters other than tab and line breaks
// (NUL included) and the bidirectional embedding, override and isolate characters become U+FFFD,
// so a hostile title can neither smuggle anything into the page nor disguise its extension.
std::string htmlEscape(std::string_view value);

// The direction controls htmlEscape replaces (embeddings, overrides, isolates, U+200E, U+200F,
// U+061C): whether `value` has one, and `value` with each one replaced by U+FFFD.
bool hasDirectionControl(std::string_view value);
std::string withoutDirectionControls(std::string_view value);

// RFC 5987 value: UTF-8 with everything outside attr-char percent-encoded.
std::string percentEncodeAttribute(std::string_view value);
// A URL component, such as a query value: everything outside RFC 3986 unreserved percent-encoded.
std::string percentEncodeComponent(std::string_view value);
// "inline; filename=\"ascii fallback\"; filename*=UTF-8''..." (RFC 6266), direction controls replaced.
std::string contentDisposition(bool inlineDisplay, std::string_view fileName);

// For one line of log: non-printable bytes become \xNN.
std::string printable(std::string_view value);

// "0 bytes", "512 bytes", "1.4 KB", "23 MB", "2.0 GB" (decimal units, as file managers show).
std::string humanSize(std::uint64_t bytes);

// "2026-12-09T04:20:00Z": seconds since the epoch in UTC, as RFC 3339 writes them.
std::string isoTime(std::int64_t seconds);

// Strict unsigned decimal: digits only, no sign or blanks, no overflow.
std::optional<std::uint64_t> parseUnsigned(std::string_view digits);

} // namespace text
