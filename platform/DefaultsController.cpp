#include "platform/DefaultsController.h"

#include "platform/Defaults.h"

namespace {

const QString kValuesPrefix = QStringLiteral("values.");

} // namespace

DefaultsController& DefaultsController::sharedUserDefaultsController()
{
    static DefaultsController controller;
    return controller;
}

QString DefaultsController::keyFromKeyPath(const QString& keyPath)
{
    if (!keyPath.startsWith(kValuesPrefix) || keyPath.size() == kValuesPrefix.size())
        return QString();
    return keyPath.mid(kValuesPrefix.size());
}

QVariant DefaultsController::valueForKeyPath(const QString& keyPath) const
{
    const QString key = keyFromKeyPath(keyPath);
    if (key.isEmpty())
        return QVariant();
    const QVariant stored = Defaults::standard().value(key);
    if (stored.isValid())
        return stored;
    std::lock_guard lock(m_mutex);
    return m_initialValues.value(key);
}

void DefaultsController::setValueForKeyPath(const QVariant& value, const QString& keyPath)
{
    const QString key = keyFromKeyPath(keyPath);
    if (key.isEmpty())
        return;
    const QVariant before = valueForKeyPath(keyPath);
    Defaults::standard().setValue(key, value);
    Defaults::standard().synchronize();
    if (valueForKeyPath(keyPath) != before)
        emit valueChanged(key);
}

void DefaultsController::setInitialValues(const QVariantMap& values)
{
    QStringList changed;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (m_initialValues.value(it.key()) != it.value())
                changed.append(it.key());
        }
        for (auto it = m_initialValues.begin(); it != m_initialValues.end(); ++it) {
            if (!values.contains(it.key()))
                changed.append(it.key());
        }
        m_initialValues = values;
    }
    // Only keys without a stored value show the change.
    for (const QString& key : changed) {
        if (!Defaults::standard().contains(key))
            emit valueChanged(key);
    }
}

QVariantMap DefaultsController::initialValues() const
{
    std::lock_guard lock(m_mutex);
    return m_initialValues;
}
