#pragma once

// Lays out a bundle in a test's temporary folder: Contents/Info.plist naming the identifier and
// executable, and the executable in Contents/MacOS, copied from a real program or written as a script.
#include <QDir>
#include <QFile>
#include <QString>

inline bool writeInfoPlist(const QString& bundlePath, const QString& identifier, const QString& executable)
{
    if (!QDir().mkpath(bundlePath + QStringLiteral("/Contents/MacOS")))
        return false;
    QFile info(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info.open(QIODevice::WriteOnly))
        return false;
    const QString plist = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                                         "<key>CFBundleIdentifier</key><string>%1</string>\n"
                                         "<key>CFBundleExecutable</key><string>%2</string>\n</dict>\n</plist>\n")
                              .arg(identifier, executable);
    return info.write(plist.toUtf8()) > 0;
}

// Copies the program into the bundle as its executable; the executable's path, or empty.
inline QString makeBundleWithProgram(const QString& bundlePath, const QString& identifier, const QString& program,
                                     const QString& executable)
{
    const QString target = bundlePath + QStringLiteral("/Contents/MacOS/") + executable;
    if (!writeInfoPlist(bundlePath, identifier, executable) || !QFile::copy(program, target))
        return {};
    QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner | QFile::ExeUser);
    return target;
}

// Writes a shell script as the bundle's executable; the executable's path, or empty.
inline QString makeBundleWithScript(const QString& bundlePath, const QString& identifier, const QString& executable,
                                    const QByteArray& script)
{
    const QString target = bundlePath + QStringLiteral("/Contents/MacOS/") + executable;
    if (!writeInfoPlist(bundlePath, identifier, executable))
        return {};
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + script) <= 0)
        return {};
    file.close();
    file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
    return target;
}
