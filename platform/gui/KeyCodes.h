#pragma once

#include <QKeySequence>
#include <QString>
#include <QtGlobal>

#include <optional>

// Shortcuts are stored as the virtual key codes of the ANSI keyboard layout (the code names a key
// position, not a character) and a modifier-flag word. These functions map them to what Qt and
// the X server speak, and give the key's text for menus.
namespace KeyCodes {

constexpr quint64 ShiftKeyMask = 0x20000;
constexpr quint64 ControlKeyMask = 0x40000;
constexpr quint64 AlternateKeyMask = 0x80000;
constexpr quint64 CommandKeyMask = 0x100000;
constexpr quint64 DeviceIndependentModifierMask = ShiftKeyMask | ControlKeyMask | AlternateKeyMask | CommandKeyMask;

// A Qt::Key, 0 when the code is unknown.
int qtKeyForKeyCode(quint16 keyCode);
// Whether the code is a key of the numeric keypad (Qt marks those with Qt::KeypadModifier).
bool isKeypadKeyCode(quint16 keyCode);
// An X keysym, 0 when the code is unknown. Letters are given as their lower-case keysym.
quint32 keysymForKeyCode(quint16 keyCode);
// Option becomes Alt, Command becomes Meta (the Super key on Linux). Other bits are ignored.
Qt::KeyboardModifiers qtModifiersForFlags(quint64 modifierFlags);
// The inverse, for shortcut recorders. KeypadModifier and the like are ignored.
quint64 flagsForQtModifiers(Qt::KeyboardModifiers modifiers);
// Empty when the code is unknown.
QKeySequence keySequenceForKeyCode(quint16 keyCode, quint64 modifierFlags);
// The key's character string, e.g. "D", "4", "F5", "Space"; empty when the code is unknown.
QString stringForKeyCode(quint16 keyCode);
// The code of the key that produces a Qt key (with KeypadModifier for the keypad's keys), for
// shortcut recorders; nothing when no ANSI key produces it.
std::optional<quint16> keyCodeForQtKey(int qtKey, Qt::KeyboardModifiers modifiers = {});

} // namespace KeyCodes
