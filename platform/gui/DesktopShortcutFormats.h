#pragma once

#include <QString>
#include <QtGlobal>

// A stored shortcut (key code and modifier flags, see KeyCodes) spelt the way desktops write
// shortcuts in their own settings. Each answers an empty string for a key code it does not know.
namespace DesktopShortcutFormats {

// The desktop portal's shortcut string, its preferred_trigger: "ALT+SHIFT+4", "CTRL+SHIFT+w".
QString portalTrigger(quint16 keyCode, quint64 modifierFlags);
// A GNOME keybinding: "<Alt><Shift>4".
QString gnomeBinding(quint16 keyCode, quint64 modifierFlags);
// A sway (or i3) bindsym combination: "Mod1+Shift+4".
QString swayBinding(quint16 keyCode, quint64 modifierFlags);

} // namespace DesktopShortcutFormats
