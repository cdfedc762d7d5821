#pragma once

#include <QHash>
#include <QIcon>
#include <QString>

// The tray images of the bundle's resources, by name: "NAME.png" at 1x with "NAME@2x.png" beside
// it for dense screens. Loaded once, then served from memory.
class StatusItemImages {
public:
    static StatusItemImages& shared();

    // A null icon when the resources hold no image of that name.
    QIcon imageNamed(const QString& name);
    // Where the images are read from; the bundle's resources unless a test says otherwise.
    void setResourcePath(const QString& path);

private:
    QString resourcePath() const;

    QString m_resourcePath;
    QHash<QString, QIcon> m_cache;
};
