#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// Zips files and folders into one archive, each archive in a fresh work folder of its own inside
// the process's temporary directory, running the zip tool once per item. Used by the tray app,
// the share extension and the command line alike.
class Archiver {
public:
    struct Result {
        // The archive's file URL; empty when none was made.
        QUrl archive;
        // Why no archive was made, as a sentence for the user; empty when one was.
        QString failure;
        // Named pipes, sockets and devices inside the folders, left out of the archive, as the
        // archive would have named them ("proj/sub/fifo"); empty when no archive was made.
        QStringList skipped;
    };

    // One item gives "<its name>.zip", several give a timestamped "Archive on ... .zip", in a work
    // folder made for this archive alone (WorkFolder), so archives made at once never touch each
    // other's files; the caller removes the folder (WorkFolder::removeContaining) once done with
    // the archive. Links inside folders are stored as links, never followed; an item given here
    // that is itself a link is zipped as what it names, under the link's name.
    //
    // No archive, and a failure sentence, when: there is nothing to zip; a path names the root
    // folder rather than an item of its own; an item is missing or is not a file or folder; a file
    // or folder inside cannot be read (all are checked before zip runs, so nothing is left out
    // unnoticed); there is no safe folder to zip into; or zip fails. Blocks for the walk through
    // the folders and the zip runs. A trailing "/" is ignored: "dir/" is zipped as "dir.zip".
    static Result makeArchive(const QStringList& paths);
    // The same without blocking the caller: the archive is made on a worker, archives one after
    // another in the order asked for, and complete gets the result from the main thread's event
    // loop. For the GUI thread, which must keep drawing while zip runs.
    static void makeArchive(const QStringList& paths, std::function<void(const Result& result)> complete);

    // makeArchive's URL, and its failure sentence in `failure` when given.
    static QUrl zipFiles(const QStringList& paths, QString* failure = nullptr);
    // The asynchronous makeArchive, giving its URL and failure sentence.
    static void zipFiles(const QStringList& paths, std::function<void(const QUrl& archive, const QString& failure)> complete);

    // A bare file name, "<name> on yyyy-MM-dd at HH-mm-ss.zip", in the user's local time.
    static QString captureTemporaryFilePathWithName(const QString& name);
};
