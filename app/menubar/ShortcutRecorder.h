#pragma once

#include <QKeySequenceEdit>
#include <QVariant>

#include <functional>

// A key-sequence editor for one global shortcut, bound both ways to a "values.KEY" key path of
// the shared defaults controller: it shows the stored shortcut dictionary ("keyCode",
// "modifierFlags") or, while nothing is stored, the default one. Pressing a combination with at
// least one modifier records it; Backspace, Delete or the clear button removes the stored one.
class ShortcutRecorder : public QKeySequenceEdit {
    Q_OBJECT
public:
    // A reason to refuse the combination, or a null string to take it.
    using Validator = std::function<QString(quint16 keyCode, quint64 modifierFlags)>;

    explicit ShortcutRecorder(QWidget* parent = nullptr);

    static QVariantMap shortcutDictionary(quint16 keyCode, quint64 modifierFlags);

    // The dictionary shown, or an invalid QVariant when nothing is shown.
    QVariant objectValue() const { return m_objectValue; }
    // Shows a shortcut dictionary without storing it.
    void setObjectValue(const QVariant& value);

    void bind(const QString& keyPath);
    void setDefaultValue(const QVariantMap& value);
    void setValidator(Validator validator) { m_validator = std::move(validator); }

    // What a key press of the combination does: checks it, then stores it. Returns the refusal.
    QString record(quint16 keyCode, quint64 modifierFlags);
    // Removes the stored shortcut, so the default applies again.
    void clearShortcut();

signals:
    void refused(const QString& reason);
    void recorded();
    // While it has the keyboard the global shortcuts must let go of their keys: the X server
    // would hand a grabbed combination to the hot key instead of to this field.
    void recordingStarted();
    void recordingEnded();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    void refresh();

    QString m_keyPath;
    QVariantMap m_defaultValue;
    QVariant m_objectValue;
    Validator m_validator;
    bool m_showing = false;
};
