#include "server/Json.h"

#include <set>
#include <vector>

namespace json {

std::optional<Value> parse(std::string_view text, int maxDepth)
{
    // The library's parser is iterative, so deep input cannot exhaust the stack; the callback
    // only has to notice what it lets through.
    std::vector<std::set<std::string>> openContainers;
    bool refused = false;
    const auto check = [&](int, Value::parse_event_t event, Value& parsed) {
        switch (event) {
        case Value::parse_event_t::object_start:
        case Value::parse_event_t::array_start:
            openContainers.emplace_back();
            refused = refused || static_cast<int>(openContainers.size()) > maxDepth;
            break;
        case Value::parse_event_t::object_end:
        case Value::parse_event_t::array_end:
            if (!openContainers.empty())
                openContainers.pop_back();
            break;
        case Value::parse_event_t::key:
            if (!openContainers.empty() && !openContainers.back().insert(parsed.get<std::string>()).second)
                refused = true;
            break;
        case Value::parse_event_t::value:
            break;
        }
        return !refused;
    };
    Value value = Value::parse(text.begin(), text.end(), check, /*allow_exceptions=*/false);
    if (refused || value.is_discarded())
        return std::nullopt;
    return value;
}

std::string write(const Object& value)
{
    const std::string text = value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
    // "<" only ever occurs inside strings, where \u003c reads back the same.
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '<')
            out += "\\u003c";
        else
            out += c;
    }
    return out;
}

const std::string* stringMember(const Value& value, std::string_view name)
{
    if (!value.is_object())
        return nullptr;
    const auto found = value.find(name);
    return found != value.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

} // namespace json
