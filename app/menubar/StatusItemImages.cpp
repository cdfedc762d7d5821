#include "app/menubar/StatusItemImages.h"

#include "platform/Bundle.h"

#include <QFileInfo>

StatusItemImages::StatusItemImages(const QString& resourcePath)
    : m_resourcePath(resourcePath)
{
}

QString StatusItemImages::resourcePath() const
{
    return m_resourcePath.isEmpty() ? Bundle::mainBundle().resourcePath() : m_resourcePath;
}

QIcon StatusItemImages::imageNamed(const QString& name)
{
    const auto cached = m_cache.constFind(name);
    if (cached != m_cache.constEnd())
        return *cached;

    QIcon icon;
    const QString base = resourcePath() + QLatin1Char('/') + name;
    for (const QString& file : {base + QStringLiteral(".png"), base + QStringLiteral("@2x.png")}) {
        if (QFileInfo::exists(file))
            icon.addFile(file);
    }
    if (!icon.isNull())
        m_cache.insert(name, icon);
    return icon;
}
