// What may reach a terminal from text the service sent.
#include "cli/TerminalText.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

using namespace std::string_view_literals;

QString text(std::u16string_view utf16)
{
    return QString::fromUtf16(utf16.data(), qsizetype(utf16.size()));
}

TEST(TerminalText, SequencesGoWholeControlsAndBidiMarksGoReadableTextStays)
{
    struct Case {
        std::u16string_view given;
        std::u16string_view printed;
    };
    const Case cases[] = {
        {u"clear\x1b[2J screen"sv, u"clear screen"sv},
        {u"red \x1b[1;31mtext\x1b[0m"sv, u"red text"sv},
        {u"title\x1b]0;owned\x07 set"sv, u"title set"sv}, // OSC ended by BEL
        {u"link\x1b]8;;http://x\x1b\\ here"sv, u"link here"sv}, // OSC ended by ESC backslash
        {u"dcs\x1bPq#0;2;0;0;0\x1b\\ gone"sv, u"dcs gone"sv}, // DCS (sixel)
        {u"c1\x9b"
         u"31mcsi\x9d"
         u"0;t\x9c ok"sv,
         u"c1csi ok"sv}, // C1 CSI and OSC
        {u"keypad\x1b=mode\x1b(B"sv, u"keypadmode"sv}, // two-character escapes
        {u"bell\x07 nul\x00 del\x7f back\b"sv, u"bell nul del back"sv},
        {u"lines\r\nand\ttabs"sv, u"lines  and tabs"sv},
        {u"http://h/A\x202egnp.exe"sv, u"http://h/Agnp.exe"sv},
        {u"\x200e\x200f\x202a\x202b\x202c\x202d\x2066\x2067\x2068\x2069\x061cplain"sv, u"plain"sv},
        {u"trailing escape \x1b"sv, u"trailing escape "sv},
        {u"unended \x1b]0;title"sv, u"unended "sv},
        {u"Grüße, 東京, 🙂, עברית"sv, u"Grüße, 東京, 🙂, עברית"sv},
    };
    for (const Case& c : cases) {
        const QString given = text(c.given);
        EXPECT_EQ(TerminalText::printable(given), text(c.printed)) << given.toStdString();
    }
}

} // namespace
