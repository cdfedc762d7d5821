#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Just enough JSON for a small service: a strict parser with depth and size limits for request
// bodies and token payloads, and a writer for the flat objects it answers with.
class JsonValue {
public:
    using Object = std::map<std::string, JsonValue, std::less<>>;
    using Array = std::vector<JsonValue>;

    JsonValue() = default;
    explicit JsonValue(bool value) : m_value(value) {}
    explicit JsonValue(double value) : m_value(value) {}
    explicit JsonValue(std::string value) : m_value(std::move(value)) {}
    explicit JsonValue(Array value) : m_value(std::move(value)) {}
    explicit JsonValue(Object value) : m_value(std::move(value)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(m_value); }
    const std::string* string() const { return std::get_if<std::string>(&m_value); }
    const double* number() const { return std::get_if<double>(&m_value); }
    const bool* boolean() const { return std::get_if<bool>(&m_value); }
    const Object* object() const { return std::get_if<Object>(&m_value); }
    const Array* array() const { return std::get_if<Array>(&m_value); }

    // The member's value in an object; null when this is no object or has no such member.
    const JsonValue* member(std::string_view name) const;

    // Duplicate member names make a document ambiguous, so they are refused.
    static std::optional<JsonValue> parse(std::string_view text, int maxDepth = 32);

private:
    std::variant<std::monostate, bool, double, std::string, Array, Object> m_value;
};

std::string jsonQuote(std::string_view value);

// {"a":"b","n":1}: members in the order added. Strings must be UTF-8 (the caller checks).
class JsonObjectWriter {
public:
    JsonObjectWriter& add(std::string_view name, std::string_view value);
    JsonObjectWriter& add(std::string_view name, const char* value) { return add(name, std::string_view(value)); }
    JsonObjectWriter& add(std::string_view name, std::int64_t value);
    JsonObjectWriter& add(std::string_view name, double value);
    JsonObjectWriter& add(std::string_view name, bool value);
    std::string str() const { return m_text + "}"; }

private:
    void key(std::string_view name);
    std::string m_text = "{";
};
