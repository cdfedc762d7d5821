#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// Our entries among GNOME's custom keyboard shortcuts (Settings > Keyboard > Custom Shortcuts),
// written with the gsettings program: each entry is a relocatable custom-keybinding at
// ".../custom-keybindings/parcly-SLUG/", and its path is added to (or taken from) the media-keys
// custom-keybindings list. Entries of anyone else are read back and written unchanged. Every
// gsettings run is asynchronous; the completion is called from the event loop.
class GnomeCustomShortcuts : public QObject {
    Q_OBJECT
public:
    struct Entry {
        QString slug; // the path's last part after "parcly-", e.g. "capture-region"
        QString name;
        QString command;
        QString binding; // "<Alt><Shift>4"
    };
    // An empty error means it worked.
    using Completion = std::function<void(const QString& error)>;

    explicit GnomeCustomShortcuts(QObject* parent = nullptr);

    static QString pathForSlug(const QString& slug);

    // Whether every one of these entries is in the list.
    void isInstalled(const QStringList& slugs, std::function<void(bool installed, const QString& error)> completion);
    void install(const QList<Entry>& entries, Completion completion);
    void remove(const QStringList& slugs, Completion completion);

    // GVariant text of a string array, both ways: "['/a/', '/b/']" or "@as []".
    static QStringList parseStringArray(const QString& text);
    static QString formatStringArray(const QStringList& items);

private:
    void run(const QStringList& arguments, std::function<void(bool ok, const QString& output)> done);
    void runAll(QList<QStringList> commands, Completion completion);
    void readList(std::function<void(const QStringList& paths, const QString& error)> done);
};
