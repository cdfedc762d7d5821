#pragma once

#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>

class QSettings;

// The per-user defaults store: an INI file that only its owner may read, because it holds the
// account password in clear text. Safe to use from any thread. Several processes (the app and
// the command line) share the file; synchronize() writes our changes and picks up theirs.
class Defaults {
public:
    // $XDG_CONFIG_HOME/parcly/Parcly Lite.conf
    static Defaults& standard();
    static QString standardFilePath();

    explicit Defaults(const QString& filePath);
    ~Defaults();
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    QString filePath() const { return m_filePath; }

    // Why the file cannot hold the defaults (its path is a folder, it cannot be read or
    // written, its folder takes no new file), as a phrase naming no path; null when it can.
    // Every value would otherwise be lost at exit, the account's password among them.
    QString unusableReason() const;

    bool contains(const QString& key) const;
    // An invalid QVariant when the key is absent.
    QVariant value(const QString& key) const;
    // A null QString when the key is absent; a present empty value is an empty, non-null string.
    QString string(const QString& key) const;
    bool boolValue(const QString& key, bool whenAbsent = false) const;

    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);
    // Removes every key. Meant for tests and for starting over.
    void clear();

    // Writes pending changes to disk and reloads changes other processes made.
    bool synchronize();

private:
    void restrictFileToOwner() const;

    const QString m_filePath;
    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
    // Changes made since the last successful synchronize().
    bool m_unsaved = false;
};
