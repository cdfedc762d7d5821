#include "platform/gui/DesktopShortcutFormats.h"

#include "platform/gui/KeyCodes.h"

#include <X11/Xlib.h>

namespace {

// The key's keysym name ("4", "d", "Return", "F5"), which all three formats use for the key.
QString keyName(quint16 keyCode)
{
    const quint32 keysym = KeyCodes::keysymForKeyCode(keyCode);
    if (!keysym)
        return {};
    // A table lookup in Xlib; it needs no display.
    const char* name = XKeysymToString(keysym);
    return name ? QString::fromLatin1(name) : QString();
}

struct Spelling {
    const char* control;
    const char* alt;
    const char* shift;
    const char* super;
    const char* separator;
    bool wrapped; // "<Alt>" rather than "Alt" followed by the separator
};

QString spell(quint16 keyCode, quint64 flags, const Spelling& spelling)
{
    const QString key = keyName(keyCode);
    if (key.isEmpty())
        return {};
    QString text;
    const auto add = [&](quint64 mask, const char* name) {
        if (!(flags & mask))
            return;
        text
            += spelling.wrapped ? QStringLiteral("<%1>").arg(QLatin1String(name)) : QLatin1String(name) + QLatin1String(spelling.separator);
    };
    add(KeyCodes::ControlKeyMask, spelling.control);
    add(KeyCodes::AlternateKeyMask, spelling.alt);
    add(KeyCodes::ShiftKeyMask, spelling.shift);
    add(KeyCodes::CommandKeyMask, spelling.super);
    return text + key;
}

} // namespace

namespace DesktopShortcutFormats {

QString portalTrigger(quint16 keyCode, quint64 modifierFlags)
{
    return spell(keyCode, modifierFlags, {"CTRL", "ALT", "SHIFT", "LOGO", "+", false});
}

QString gnomeBinding(quint16 keyCode, quint64 modifierFlags)
{
    return spell(keyCode, modifierFlags, {"Control", "Alt", "Shift", "Super", "", true});
}

QString swayBinding(quint16 keyCode, quint64 modifierFlags)
{
    return spell(keyCode, modifierFlags, {"Control", "Mod1", "Shift", "Mod4", "+", false});
}

} // namespace DesktopShortcutFormats
