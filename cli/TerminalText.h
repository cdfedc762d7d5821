#pragma once

#include <QString>

namespace TerminalText {

// `text` as it may be printed to a terminal: with nothing left that the terminal would act on
// rather than show. Escape sequences (CSI, OSC, DCS and the rest) go whole, other C0 and C1
// controls and DEL go, and so do the bidirectional controls that would make a link read
// otherwise than it is. Line breaks and tabs become spaces: a message stays on its line.
// Whatever the service sent passes through here before it is printed.
QString printable(const QString& text);

} // namespace TerminalText
