#include "server/Json.h"

#include "server/Text.h"

#include <charconv>
#include <cmath>

const JsonValue* JsonValue::member(std::string_view name) const
{
    const Object* members = object();
    if (!members)
        return nullptr;
    const auto found = members->find(name);
    return found == members->end() ? nullptr : &found->second;
}

namespace {

class Parser {
public:
    Parser(std::string_view text, int maxDepth) : m_text(text), m_maxDepth(maxDepth) {}

    std::optional<JsonValue> document()
    {
        JsonValue value;
        if (!parseValue(0, value))
            return std::nullopt;
        skipBlanks();
        if (m_position != m_text.size())
            return std::nullopt;
        return value;
    }

private:
    void skipBlanks()
    {
        while (m_position < m_text.size()) {
            const char c = m_text[m_position];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                break;
            ++m_position;
        }
    }

    bool consume(std::string_view literal)
    {
        if (m_text.substr(m_position, literal.size()) != literal)
            return false;
        m_position += literal.size();
        return true;
    }

    // Out-parameters rather than optionals: GCC 12 misreads moves of optional<variant>.
    bool parseValue(int depth, JsonValue& out)
    {
        if (depth > m_maxDepth)
            return false;
        skipBlanks();
        if (m_position >= m_text.size())
            return false;
        switch (m_text[m_position]) {
        case '{': return parseObject(depth, out);
        case '[': return parseArray(depth, out);
        case '"': {
            std::string s;
            if (!parseString(s))
                return false;
            out = JsonValue(std::move(s));
            return true;
        }
        case 't': out = JsonValue(true); return consume("true");
        case 'f': out = JsonValue(false); return consume("false");
        case 'n': out = JsonValue(); return consume("null");
        default: return parseNumber(out);
        }
    }

    bool parseObject(int depth, JsonValue& out)
    {
        ++m_position; // {
        JsonValue::Object members;
        skipBlanks();
        if (!consume("}")) {
            for (;;) {
                skipBlanks();
                if (m_position >= m_text.size() || m_text[m_position] != '"')
                    return false;
                std::string name;
                if (!parseString(name))
                    return false;
                skipBlanks();
                if (!consume(":"))
                    return false;
                JsonValue value;
                if (!parseValue(depth + 1, value))
                    return false;
                if (!members.emplace(std::move(name), std::move(value)).second)
                    return false;
                skipBlanks();
                if (consume("}"))
                    break;
                if (!consume(","))
                    return false;
            }
        }
        out = JsonValue(std::move(members));
        return true;
    }

    bool parseArray(int depth, JsonValue& out)
    {
        ++m_position; // [
        JsonValue::Array items;
        skipBlanks();
        if (!consume("]")) {
            for (;;) {
                JsonValue value;
                if (!parseValue(depth + 1, value))
                    return false;
                items.push_back(std::move(value));
                skipBlanks();
                if (consume("]"))
                    break;
                if (!consume(","))
                    return false;
            }
        }
        out = JsonValue(std::move(items));
        return true;
    }

    std::optional<unsigned> hex4()
    {
        if (m_position + 4 > m_text.size())
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(m_text.data() + m_position, m_text.data() + m_position + 4, value, 16);
        if (error != std::errc() || end != m_text.data() + m_position + 4)
            return std::nullopt;
        m_position += 4;
        return value;
    }

    static void appendUtf8(std::string& out, std::uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parseString(std::string& out)
    {
        ++m_position; // "
        const size_t start = m_position;
        for (;;) {
            if (m_position >= m_text.size())
                return false;
            const char c = m_text[m_position++];
            if (c == '"')
                break;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_position >= m_text.size())
                return false;
            switch (m_text[m_position++]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto unit = hex4();
                if (!unit)
                    return false;
                std::uint32_t cp = *unit;
                if (cp >= 0xDC00 && cp <= 0xDFFF)
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (!consume("\\u"))
                        return false;
                    auto low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                }
                appendUtf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        // Raw bytes must be UTF-8; escapes above always produce valid sequences.
        if (!text::isValidUtf8(m_text.substr(start, m_position - 1 - start)))
            return false;
        return true;
    }

    bool parseNumber(JsonValue& out)
    {
        // Validate the JSON grammar first: from_chars alone accepts "inf", "1." and friends.
        const size_t start = m_position;
        auto digits = [&] {
            const size_t before = m_position;
            while (m_position < m_text.size() && m_text[m_position] >= '0' && m_text[m_position] <= '9')
                ++m_position;
            return m_position > before;
        };
        if (m_position < m_text.size() && m_text[m_position] == '-')
            ++m_position;
        if (m_position < m_text.size() && m_text[m_position] == '0')
            ++m_position;
        else if (!digits())
            return false;
        if (m_position < m_text.size() && m_text[m_position] == '.') {
            ++m_position;
            if (!digits())
                return false;
        }
        if (m_position < m_text.size() && (m_text[m_position] == 'e' || m_text[m_position] == 'E')) {
            ++m_position;
            if (m_position < m_text.size() && (m_text[m_position] == '+' || m_text[m_position] == '-'))
                ++m_position;
            if (!digits())
                return false;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(m_text.data() + start, m_text.data() + m_position, value);
        if (error != std::errc() || end != m_text.data() + m_position || !std::isfinite(value))
            return false;
        out = JsonValue(value);
        return true;
    }

    std::string_view m_text;
    int m_maxDepth;
    size_t m_position = 0;
};

} // namespace

std::optional<JsonValue> JsonValue::parse(std::string_view text, int maxDepth)
{
    return Parser(text, maxDepth).document();
}

std::string jsonQuote(std::string_view value)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    out.reserve(value.size() + 2);
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            // "<" too, so a JSON answer can never be read as markup.
            if (c < 0x20 || c == '<' || c == 0x7F) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

void JsonObjectWriter::key(std::string_view name)
{
    if (m_text.size() > 1)
        m_text += ',';
    m_text += jsonQuote(name);
    m_text += ':';
}

JsonObjectWriter& JsonObjectWriter::add(std::string_view name, std::string_view value)
{
    key(name);
    m_text += jsonQuote(value);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::add(std::string_view name, std::int64_t value)
{
    key(name);
    m_text += std::to_string(value);
    return *this;
}

JsonObjectWriter& JsonObjectWriter::add(std::string_view name, double value)
{
    key(name);
    m_text += std::isfinite(value) ? text::formatDouble(value) : "null";
    return *this;
}

JsonObjectWriter& JsonObjectWriter::add(std::string_view name, bool value)
{
    key(name);
    m_text += value ? "true" : "false";
    return *this;
}
