#pragma once

#include <optional>
#include <string>
#include <string_view>

// Base64 in its two alphabets: standard (RFC 4648 section 4, padded) for the file-name and basic
// authentication headers, URL-safe without padding (section 5) for the parts of a token.
namespace base64 {

std::string encode(std::string_view bytes);
std::string encodeUrl(std::string_view bytes);

// Strict, so that each byte string has one encoding: only the alphabet's characters, no blanks,
// padding exactly where it belongs (required for the standard form, absent in the URL form).
std::optional<std::string> decode(std::string_view text);
std::optional<std::string> decodeUrl(std::string_view text);

} // namespace base64
