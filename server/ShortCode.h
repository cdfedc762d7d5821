#pragma once

#include <string>
#include <string_view>

// A drop's public name: 8 characters from [A-Za-z0-9] with at least one digit. The service's own
// paths are words without digits, so "/<code>" can never shadow one of them, now or later.
namespace shortcode {

constexpr size_t kLength = 8;

std::string generate();
bool isValid(std::string_view code);

} // namespace shortcode
