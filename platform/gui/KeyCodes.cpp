#include "platform/gui/KeyCodes.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>
#include <utility>

namespace KeyCodes {
namespace {

struct Key {
    quint16 code;
    int qtKey;
    quint32 keysym;
    const char* text; // nullptr: Qt's portable name of the key
    bool keypad = false;
};

// Virtual key codes by position on the ANSI keyboard. Gaps in the numbering are codes no
// keyboard sends or keys this table leaves out on purpose (e.g. Fn, which X never reports).
constexpr Key keys[] = {
    {0x00, Qt::Key_A, XK_a, "A"},
    {0x01, Qt::Key_S, XK_s, "S"},
    {0x02, Qt::Key_D, XK_d, "D"},
    {0x03, Qt::Key_F, XK_f, "F"},
    {0x04, Qt::Key_H, XK_h, "H"},
    {0x05, Qt::Key_G, XK_g, "G"},
    {0x06, Qt::Key_Z, XK_z, "Z"},
    {0x07, Qt::Key_X, XK_x, "X"},
    {0x08, Qt::Key_C, XK_c, "C"},
    {0x09, Qt::Key_V, XK_v, "V"},
    {0x0A, Qt::Key_section, XK_section, "\u00a7"}, // the extra key left of 1 on ISO keyboards
    {0x0B, Qt::Key_B, XK_b, "B"},
    {0x0C, Qt::Key_Q, XK_q, "Q"},
    {0x0D, Qt::Key_W, XK_w, "W"},
    {0x0E, Qt::Key_E, XK_e, "E"},
    {0x0F, Qt::Key_R, XK_r, "R"},
    {0x10, Qt::Key_Y, XK_y, "Y"},
    {0x11, Qt::Key_T, XK_t, "T"},
    {0x12, Qt::Key_1, XK_1, "1"},
    {0x13, Qt::Key_2, XK_2, "2"},
    {0x14, Qt::Key_3, XK_3, "3"},
    {0x15, Qt::Key_4, XK_4, "4"},
    {0x16, Qt::Key_6, XK_6, "6"},
    {0x17, Qt::Key_5, XK_5, "5"},
    {0x18, Qt::Key_Equal, XK_equal, "="},
    {0x19, Qt::Key_9, XK_9, "9"},
    {0x1A, Qt::Key_7, XK_7, "7"},
    {0x1B, Qt::Key_Minus, XK_minus, "-"},
    {0x1C, Qt::Key_8, XK_8, "8"},
    {0x1D, Qt::Key_0, XK_0, "0"},
    {0x1E, Qt::Key_BracketRight, XK_bracketright, "]"},
    {0x1F, Qt::Key_O, XK_o, "O"},
    {0x20, Qt::Key_U, XK_u, "U"},
    {0x21, Qt::Key_BracketLeft, XK_bracketleft, "["},
    {0x22, Qt::Key_I, XK_i, "I"},
    {0x23, Qt::Key_P, XK_p, "P"},
    {0x24, Qt::Key_Return, XK_Return, nullptr},
    {0x25, Qt::Key_L, XK_l, "L"},
    {0x26, Qt::Key_J, XK_j, "J"},
    {0x27, Qt::Key_Apostrophe, XK_apostrophe, "'"},
    {0x28, Qt::Key_K, XK_k, "K"},
    {0x29, Qt::Key_Semicolon, XK_semicolon, ";"},
    {0x2A, Qt::Key_Backslash, XK_backslash, "\\"},
    {0x2B, Qt::Key_Comma, XK_comma, ","},
    {0x2C, Qt::Key_Slash, XK_slash, "/"},
    {0x2D, Qt::Key_N, XK_n, "N"},
    {0x2E, Qt::Key_M, XK_m, "M"},
    {0x2F, Qt::Key_Period, XK_period, "."},
    {0x30, Qt::Key_Tab, XK_Tab, nullptr},
    {0x31, Qt::Key_Space, XK_space, nullptr},
    {0x32, Qt::Key_QuoteLeft, XK_grave, "`"},
    {0x33, Qt::Key_Backspace, XK_BackSpace, nullptr}, // labelled Delete, erases backwards
    {0x35, Qt::Key_Escape, XK_Escape, nullptr},
    {0x36, Qt::Key_Meta, XK_Super_R, nullptr},
    {0x37, Qt::Key_Meta, XK_Super_L, nullptr},
    {0x38, Qt::Key_Shift, XK_Shift_L, nullptr},
    {0x39, Qt::Key_CapsLock, XK_Caps_Lock, nullptr},
    {0x3A, Qt::Key_Alt, XK_Alt_L, nullptr},
    {0x3B, Qt::Key_Control, XK_Control_L, nullptr},
    {0x3C, Qt::Key_Shift, XK_Shift_R, nullptr},
    {0x3D, Qt::Key_Alt, XK_Alt_R, nullptr},
    {0x3E, Qt::Key_Control, XK_Control_R, nullptr},
    {0x40, Qt::Key_F17, XK_F17, nullptr},
    {0x41, Qt::Key_Period, XK_KP_Decimal, ".", true},
    {0x43, Qt::Key_Asterisk, XK_KP_Multiply, "*", true},
    {0x45, Qt::Key_Plus, XK_KP_Add, "+", true},
    {0x47, Qt::Key_Clear, XK_Clear, nullptr, true},
    {0x48, Qt::Key_VolumeUp, XF86XK_AudioRaiseVolume, nullptr},
    {0x49, Qt::Key_VolumeDown, XF86XK_AudioLowerVolume, nullptr},
    {0x4A, Qt::Key_VolumeMute, XF86XK_AudioMute, nullptr},
    {0x4B, Qt::Key_Slash, XK_KP_Divide, "/", true},
    {0x4C, Qt::Key_Enter, XK_KP_Enter, nullptr, true},
    {0x4E, Qt::Key_Minus, XK_KP_Subtract, "-", true},
    {0x4F, Qt::Key_F18, XK_F18, nullptr},
    {0x50, Qt::Key_F19, XK_F19, nullptr},
    {0x51, Qt::Key_Equal, XK_KP_Equal, "=", true},
    {0x52, Qt::Key_0, XK_KP_0, "0", true},
    {0x53, Qt::Key_1, XK_KP_1, "1", true},
    {0x54, Qt::Key_2, XK_KP_2, "2", true},
    {0x55, Qt::Key_3, XK_KP_3, "3", true},
    {0x56, Qt::Key_4, XK_KP_4, "4", true},
    {0x57, Qt::Key_5, XK_KP_5, "5", true},
    {0x58, Qt::Key_6, XK_KP_6, "6", true},
    {0x59, Qt::Key_7, XK_KP_7, "7", true},
    {0x5A, Qt::Key_F20, XK_F20, nullptr},
    {0x5B, Qt::Key_8, XK_KP_8, "8", true},
    {0x5C, Qt::Key_9, XK_KP_9, "9", true},
    {0x5D, Qt::Key_yen, XK_yen, "\u00a5"},
    {0x5E, Qt::Key_Underscore, XK_underscore, "_"},
    {0x5F, Qt::Key_Comma, XK_KP_Separator, ",", true},
    {0x60, Qt::Key_F5, XK_F5, nullptr},
    {0x61, Qt::Key_F6, XK_F6, nullptr},
    {0x62, Qt::Key_F7, XK_F7, nullptr},
    {0x63, Qt::Key_F3, XK_F3, nullptr},
    {0x64, Qt::Key_F8, XK_F8, nullptr},
    {0x65, Qt::Key_F9, XK_F9, nullptr},
    {0x66, Qt::Key_Eisu_toggle, XK_Eisu_toggle, nullptr},
    {0x67, Qt::Key_F11, XK_F11, nullptr},
    {0x68, Qt::Key_Kana_Shift, XK_Kana_Shift, nullptr},
    {0x69, Qt::Key_F13, XK_F13, nullptr},
    {0x6A, Qt::Key_F16, XK_F16, nullptr},
    {0x6B, Qt::Key_F14, XK_F14, nullptr},
    {0x6D, Qt::Key_F10, XK_F10, nullptr},
    {0x6F, Qt::Key_F12, XK_F12, nullptr},
    {0x71, Qt::Key_F15, XK_F15, nullptr},
    {0x72, Qt::Key_Insert, XK_Insert, nullptr}, // Help sits where PC keyboards have Insert
    {0x73, Qt::Key_Home, XK_Home, nullptr},
    {0x74, Qt::Key_PageUp, XK_Prior, nullptr},
    {0x75, Qt::Key_Delete, XK_Delete, nullptr},
    {0x76, Qt::Key_F4, XK_F4, nullptr},
    {0x77, Qt::Key_End, XK_End, nullptr},
    {0x78, Qt::Key_F2, XK_F2, nullptr},
    {0x79, Qt::Key_PageDown, XK_Next, nullptr},
    {0x7A, Qt::Key_F1, XK_F1, nullptr},
    {0x7B, Qt::Key_Left, XK_Left, nullptr},
    {0x7C, Qt::Key_Right, XK_Right, nullptr},
    {0x7D, Qt::Key_Down, XK_Down, nullptr},
    {0x7E, Qt::Key_Up, XK_Up, nullptr},
};

constexpr quint16 highestCode = 0x7E;

// Direct lookup by code; built once at compile time from the table above.
constexpr auto indexByCode = [] {
    std::array<int, highestCode + 1> index{};
    index.fill(-1);
    for (int i = 0; i < int(std::size(keys)); ++i)
        index[keys[i].code] = i;
    return index;
}();

const Key* find(quint16 keyCode)
{
    if (keyCode > highestCode || indexByCode[keyCode] < 0)
        return nullptr;
    return &keys[indexByCode[keyCode]];
}

} // namespace

int qtKeyForKeyCode(quint16 keyCode)
{
    const Key* key = find(keyCode);
    return key ? key->qtKey : 0;
}

bool isKeypadKeyCode(quint16 keyCode)
{
    const Key* key = find(keyCode);
    return key && key->keypad;
}

quint32 keysymForKeyCode(quint16 keyCode)
{
    const Key* key = find(keyCode);
    return key ? key->keysym : 0;
}

Qt::KeyboardModifiers qtModifiersForFlags(quint64 modifierFlags)
{
    Qt::KeyboardModifiers modifiers;
    if (modifierFlags & ShiftKeyMask)
        modifiers |= Qt::ShiftModifier;
    if (modifierFlags & ControlKeyMask)
        modifiers |= Qt::ControlModifier;
    if (modifierFlags & AlternateKeyMask)
        modifiers |= Qt::AltModifier;
    if (modifierFlags & CommandKeyMask)
        modifiers |= Qt::MetaModifier;
    return modifiers;
}

quint64 flagsForQtModifiers(Qt::KeyboardModifiers modifiers)
{
    quint64 flags = 0;
    if (modifiers & Qt::ShiftModifier)
        flags |= ShiftKeyMask;
    if (modifiers & Qt::ControlModifier)
        flags |= ControlKeyMask;
    if (modifiers & Qt::AltModifier)
        flags |= AlternateKeyMask;
    if (modifiers & Qt::MetaModifier)
        flags |= CommandKeyMask;
    return flags;
}

QKeySequence keySequenceForKeyCode(quint16 keyCode, quint64 modifierFlags)
{
    const Key* key = find(keyCode);
    if (!key)
        return {};
    Qt::KeyboardModifiers modifiers = qtModifiersForFlags(modifierFlags);
    if (key->keypad)
        modifiers |= Qt::KeypadModifier;
    return QKeySequence(QKeyCombination(modifiers, Qt::Key(key->qtKey)));
}

QString stringForKeyCode(quint16 keyCode)
{
    const Key* key = find(keyCode);
    if (!key)
        return {};
    if (key->text)
        return QString::fromUtf8(key->text);
    return QKeySequence(key->qtKey).toString(QKeySequence::PortableText);
}

std::optional<quint16> keyCodeForQtKey(int qtKey, Qt::KeyboardModifiers modifiers)
{
    const bool keypad = modifiers.testFlag(Qt::KeypadModifier);
    if (!keypad) {
        // With Shift held, Qt reports the shifted character of the US layout; the key is the
        // one that carries it.
        static constexpr std::pair<int, quint16> shifted[] = {
            {Qt::Key_Exclam, 0x12},    {Qt::Key_At, 0x13},          {Qt::Key_NumberSign, 0x14}, {Qt::Key_Dollar, 0x15},
            {Qt::Key_Percent, 0x17},   {Qt::Key_AsciiCircum, 0x16}, {Qt::Key_Ampersand, 0x1A},  {Qt::Key_Asterisk, 0x1C},
            {Qt::Key_ParenLeft, 0x19}, {Qt::Key_ParenRight, 0x1D},  {Qt::Key_Underscore, 0x1B}, {Qt::Key_Plus, 0x18},
            {Qt::Key_BraceLeft, 0x21}, {Qt::Key_BraceRight, 0x1E},  {Qt::Key_Colon, 0x29},      {Qt::Key_QuoteDbl, 0x27},
            {Qt::Key_Less, 0x2B},      {Qt::Key_Greater, 0x2F},     {Qt::Key_Question, 0x2C},   {Qt::Key_AsciiTilde, 0x32},
            {Qt::Key_Bar, 0x2A},       {Qt::Key_Backtab, 0x30},
        };
        for (const auto& [key, code] : shifted) {
            if (key == qtKey)
                return code;
        }
    }
    const Key* fallback = nullptr;
    for (const Key& key : keys) {
        if (key.qtKey != qtKey)
            continue;
        if (key.keypad == keypad)
            return key.code;
        if (!fallback)
            fallback = &key;
    }
    if (fallback)
        return fallback->code;
    return std::nullopt;
}

} // namespace KeyCodes
