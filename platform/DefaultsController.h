#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <mutex>

// Key-path access to the standard defaults store for bindings: "values.KEY" reads the stored
// value of KEY, or the registered initial value when nothing is stored. Changes made through
// the controller are written to disk and announced by valueChanged.
class DefaultsController : public QObject {
    Q_OBJECT
public:
    static DefaultsController& sharedUserDefaultsController();

    // The stored value, else the initial value, else an invalid QVariant. Any key path that
    // does not start with "values." gives an invalid QVariant.
    QVariant valueForKeyPath(const QString& keyPath) const;
    // An invalid value removes the stored one, so the initial value shows through again.
    void setValueForKeyPath(const QVariant& value, const QString& keyPath);

    void setInitialValues(const QVariantMap& values);
    QVariantMap initialValues() const;

signals:
    // KEY without the "values." prefix.
    void valueChanged(const QString& key);

private:
    DefaultsController() = default;
    static QString keyFromKeyPath(const QString& keyPath);

    mutable std::mutex m_mutex;
    QVariantMap m_initialValues;
};
