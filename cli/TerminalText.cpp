#include "TerminalText.h"

namespace {

constexpr char16_t kEscape = 0x1b;
constexpr char16_t kBell = 0x07;
constexpr char16_t kCsi = 0x9b; // C1 forms of ESC [ and of the string introducers
constexpr char16_t kStringTerminator = 0x9c;

bool isControl(char16_t c)
{
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f);
}

bool isBidiControl(char16_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// ESC P, ESC X, ESC ], ESC ^, ESC _ and their C1 forms open a string that runs to a terminator.
bool opensString(char16_t afterEscape)
{
    return afterEscape == u'P' || afterEscape == u'X' || afterEscape == u']' || afterEscape == u'^' || afterEscape == u'_';
}
bool isC1StringIntroducer(char16_t c)
{
    return c == 0x90 || c == 0x98 || c == 0x9d || c == 0x9e || c == 0x9f;
}

// The index just past a control string that starts at `i`: it ends at BEL, ESC \ or ST, or
// with the text.
qsizetype skipString(const QString& text, qsizetype i)
{
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == kBell || c == kStringTerminator)
            return i + 1;
        if (c == kEscape)
            return i + 1 < text.size() && text.at(i + 1) == u'\\' ? i + 2 : i + 1;
    }
    return i;
}

// The index just past a control sequence's parameters, intermediates and final byte.
qsizetype skipControlSequence(const QString& text, qsizetype i)
{
    while (i < text.size() && text.at(i).unicode() >= 0x20 && text.at(i).unicode() <= 0x3f)
        ++i;
    return i < text.size() && text.at(i).unicode() >= 0x40 && text.at(i).unicode() <= 0x7e ? i + 1 : i;
}

} // namespace

namespace TerminalText {

QString printable(const QString& text)
{
    QString result;
    result.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        const char16_t c = text.at(i).unicode();
        if (c == kEscape) {
            const char16_t next = i + 1 < text.size() ? text.at(i + 1).unicode() : 0;
            if (next == u'[')
                i = skipControlSequence(text, i + 2);
            else if (opensString(next))
                i = skipString(text, i + 2);
            else {
                // ESC, any intermediates, one final character.
                i += 1;
                while (i < text.size() && text.at(i).unicode() >= 0x20 && text.at(i).unicode() <= 0x2f)
                    ++i;
                if (i < text.size() && text.at(i).unicode() >= 0x30 && text.at(i).unicode() <= 0x7e)
                    ++i;
            }
            continue;
        }
        if (c == kCsi) {
            i = skipControlSequence(text, i + 1);
            continue;
        }
        if (isC1StringIntroducer(c)) {
            i = skipString(text, i + 1);
            continue;
        }
        if (c == u'\n' || c == u'\r' || c == u'\t')
            result.append(QLatin1Char(' '));
        else if (!isControl(c) && !isBidiControl(c))
            result.append(text.at(i));
        ++i;
    }
    return result;
}

} // namespace TerminalText
