#pragma once

#include <QList>
#include <QString>

#include <optional>

// One entry of the session login items list: an XDG autostart file.
struct LoginItem {
    QString filePath;

    QString fileName() const;
    bool operator==(const LoginItem&) const = default;
};

// The user's session login items: the desktop entries in $XDG_CONFIG_HOME/autostart (or
// ~/.config/autostart), which the desktop starts at login. The list is read from the folder on
// every snapshot, so two lists opened on the same folder see each other's changes.
class LoginItems {
public:
    // Opens the user's list; nothing (with a log line) when its folder cannot be used.
    static std::optional<LoginItems> create();

    // The folder the list lives in.
    QString folderPath() const { return m_folder; }

    // The list's items, in file-name order.
    QList<LoginItem> snapshot() const;

    // The program an item's Exec line runs, canonical; empty for an item that does not resolve:
    // a hidden entry, a file that is not a desktop entry, or a program that is not there.
    static QString resolve(const LoginItem& item);

    // Adds an entry running the program (absolute path) ahead of the list's other entries.
    // The new item, or nothing with a log line.
    std::optional<LoginItem> insertItemBeforeFirst(const QString& programPath);

    // Creates or replaces the entry with this file name (a plain name ending in ".desktop"), running
    // the program (absolute path). The item, or nothing with a log line.
    std::optional<LoginItem> writeItem(const QString& fileName, const QString& programPath, const QString& displayName = {});

    // The item with this file name when it is in the list.
    std::optional<LoginItem> itemNamed(const QString& fileName) const;

    // Removes one item. False, with a log line, when it could not be removed.
    bool removeItem(const LoginItem& item);

private:
    explicit LoginItems(const QString& folder)
        : m_folder(folder)
    {
    }

    QString m_folder;
};
