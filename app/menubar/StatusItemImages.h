#pragma once

#include <QHash>
#include <QIcon>
#include <QString>

// The tray images of the bundle's resources, by name: "NAME.png" at 1x with "NAME@2x.png" beside
// it for dense screens. Loaded once, then served from memory.
class StatusItemImages {
public:
    // Read from `resourcePath`; from the bundle's resources when it is empty.
    explicit StatusItemImages(const QString& resourcePath = {});

    // A null icon when the resources hold no image of that name.
    QIcon imageNamed(const QString& name);

private:
    QString resourcePath() const;

    QString m_resourcePath;
    QHash<QString, QIcon> m_cache;
};
