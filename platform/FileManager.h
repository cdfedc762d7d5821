#pragma once

#include <QString>

// File operations the system's items need beyond QFile.
class FileManager {
public:
    // The path's last component, trailing separators ignored: "a/b/" gives "b", "/" gives "/".
    static QString lastPathComponent(const QString& path);
};
