#include "app/menubar/ShortcutRecorder.h"

#include "platform/DefaultsController.h"
#include "platform/gui/KeyCodes.h"

#include <QKeyEvent>

namespace {

const QString kKeyCode = QStringLiteral("keyCode");
const QString kModifierFlags = QStringLiteral("modifierFlags");

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_unknown:
        return true;
    default:
        return false;
    }
}

} // namespace

ShortcutRecorder::ShortcutRecorder(QWidget* parent)
    : QKeySequenceEdit(parent)
{
    setClearButtonEnabled(true);
    // The clear button empties the editor; that is the user clearing the shortcut.
    connect(this, &QKeySequenceEdit::keySequenceChanged, this, [this](const QKeySequence& keys) {
        if (!m_showing && keys.isEmpty())
            clearShortcut();
    });
}

QVariantMap ShortcutRecorder::shortcutDictionary(quint16 keyCode, quint64 modifierFlags)
{
    return {{kKeyCode, uint(keyCode)}, {kModifierFlags, qulonglong(modifierFlags)}};
}

void ShortcutRecorder::setObjectValue(const QVariant& value)
{
    m_objectValue = value;
    QKeySequence keys;
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap entries = value.toMap();
        keys = KeyCodes::keySequenceForKeyCode(quint16(entries.value(kKeyCode).toUInt()), entries.value(kModifierFlags).toULongLong());
    }
    m_showing = true;
    setKeySequence(keys);
    m_showing = false;
}

void ShortcutRecorder::bind(const QString& keyPath)
{
    m_keyPath = keyPath;
    connect(&DefaultsController::sharedUserDefaultsController(), &DefaultsController::valueChanged, this, [this](const QString& key) {
        if (QStringLiteral("values.") + key == m_keyPath)
            refresh();
    });
    refresh();
}

void ShortcutRecorder::setDefaultValue(const QVariantMap& value)
{
    m_defaultValue = value;
    refresh();
}

void ShortcutRecorder::refresh()
{
    if (m_keyPath.isEmpty())
        return;
    const QVariant stored = DefaultsController::sharedUserDefaultsController().valueForKeyPath(m_keyPath);
    if (stored.typeId() == QMetaType::QVariantMap)
        setObjectValue(stored);
    else if (!m_defaultValue.isEmpty())
        setObjectValue(m_defaultValue);
    else
        setObjectValue(QVariant());
}

QString ShortcutRecorder::record(quint16 keyCode, quint64 modifierFlags)
{
    QString refusal;
    if ((modifierFlags & KeyCodes::DeviceIndependentModifierMask) == 0)
        refusal = QStringLiteral("A shortcut needs Ctrl, Alt, Shift or Super together with the key.");
    else if (m_validator)
        refusal = m_validator(keyCode, modifierFlags);
    if (!refusal.isNull()) {
        refresh();
        emit refused(refusal);
        return refusal;
    }
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(shortcutDictionary(keyCode, modifierFlags), m_keyPath);
    refresh();
    emit recorded();
    return {};
}

void ShortcutRecorder::clearShortcut()
{
    DefaultsController::sharedUserDefaultsController().setValueForKeyPath(QVariant(), m_keyPath);
    refresh();
    emit recorded();
}

void ShortcutRecorder::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    const Qt::KeyboardModifiers modifiers
        = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    event->accept();
    if (isModifierKey(key))
        return;
    if (modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier) {
        // Plain Tab moves on, plain Escape leaves the field, Backspace and Delete clear it.
        if (key == Qt::Key_Tab || key == Qt::Key_Backtab) {
            focusNextPrevChild(key == Qt::Key_Tab);
            return;
        }
    }
    if (modifiers == Qt::NoModifier) {
        if (key == Qt::Key_Escape) {
            clearFocus();
            return;
        }
        if (key == Qt::Key_Backspace || key == Qt::Key_Delete) {
            clearShortcut();
            return;
        }
    }
    const std::optional<quint16> keyCode = KeyCodes::keyCodeForQtKey(key, event->modifiers() & Qt::KeypadModifier);
    if (!keyCode) {
        refresh();
        emit refused(QStringLiteral("%1 cannot be part of a shortcut.").arg(QKeySequence(key).toString(QKeySequence::NativeText)));
        return;
    }
    record(*keyCode, KeyCodes::flagsForQtModifiers(modifiers));
}

void ShortcutRecorder::keyReleaseEvent(QKeyEvent* event)
{
    event->accept();
}

void ShortcutRecorder::focusInEvent(QFocusEvent* event)
{
    QKeySequenceEdit::focusInEvent(event);
    emit recordingStarted();
}

void ShortcutRecorder::focusOutEvent(QFocusEvent* event)
{
    QKeySequenceEdit::focusOutEvent(event);
    emit recordingEnded();
}
