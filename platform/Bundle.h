#pragma once

#include <QSharedPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// A directory laid out as "<Name>.app/Contents/{Info.plist,MacOS,Resources,PlugIns}".
// The programs live in Contents/MacOS, so a running program finds its own bundle from where its
// executable lies; tools that run elsewhere (tests, the build) name the bundle explicitly.
class Bundle {
public:
    // The bundle around the running executable, after resolving symlinks (an installed link in
    // bin/ still finds the bundle it points into). Invalid outside a bundle unless set below.
    static Bundle mainBundle();
    // Makes mainBundle() the bundle at this path; an empty path returns to the default.
    static void setMainBundlePath(const QString& bundlePath);
    // The bundle whose Contents/MacOS holds this executable, or an empty string.
    static QString bundlePathForExecutable(const QString& executablePath);

    explicit Bundle(const QString& bundlePath = {});

    // True when the folder holds a readable Contents/Info.plist.
    bool isValid() const;
    QString bundlePath() const;
    QString bundleIdentifier() const;
    QString executablePath() const;
    QString resourcePath() const;
    QString builtInPlugInsPath() const;
    // Contents/Resources/<name>.<extension>, or an empty string when there is no such file.
    QString pathForResource(const QString& name, const QString& extension) const;
    // Contents/MacOS/<name>, or an empty string when there is no such file.
    QString pathForAuxiliaryExecutable(const QString& name) const;
    QVariant objectForInfoDictionaryKey(const QString& key) const;

private:
    QString contentsPath(const QString& relative) const;

    QString m_path;
    QSharedPointer<const QVariantMap> m_info;
};
