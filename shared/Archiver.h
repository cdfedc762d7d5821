#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// Zips files and folders into one archive in the process's temporary directory, running the
// zip tool once per item. Used by the tray app and the share extension alike.
class Archiver {
public:
    // One item gives "<its name>.zip", several give a timestamped "Archive on ... .zip". An
    // earlier archive of that name is replaced. Blocks until the last zip run has ended and
    // returns the archive's file URL whatever the runs did (failures are logged). Returns an
    // empty URL, logged, when there is nothing to zip, a path names the root folder rather than an
    // item of its own, or there is no safe temporary directory to zip into. A trailing "/" is
    // ignored: "dir/" is zipped as "dir.zip". When it returns an empty URL and `failure` is given,
    // `failure` says why in a sentence for the user.
    static QUrl zipFiles(const QStringList& paths, QString* failure = nullptr);

    // The same without blocking the caller: the archive is made on a worker, archives one after
    // another in the order asked for, and complete gets its URL (as above) from the main thread's
    // event loop. For the GUI thread, which must keep drawing while zip runs.
    static void zipFiles(const QStringList& paths, std::function<void(const QUrl& archive)> complete);

    // A bare file name, "<name> on yyyy-MM-dd at HH-mm-ss.zip", in the user's local time.
    static QString captureTemporaryFilePathWithName(const QString& name);
};
