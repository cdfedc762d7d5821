#pragma once

#include <QString>

// File operations the system's items need beyond QFile: links are items of their own.
class FileManager {
public:
    // True for anything at the path, a symlink whose target is gone included.
    static bool itemExistsAtPath(const QString& path);
    // Removes a file, a symlink (never what it points to) or a folder with all it holds.
    static bool removeItemAtPath(const QString& path);
    // The path's last component, trailing separators ignored: "a/b/" gives "b", "/" gives "/".
    static QString lastPathComponent(const QString& path);
};
