// archive-tool PATH...: makes one archive of the paths with the archiver and prints its file URL
// on the first line (empty when none was made) and the failure sentence on the second. Lets a
// test run the archiver as another user, for whom the files it sets up are unreadable.
#include "shared/Archiver.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Archiver::Result result = Archiver::makeArchive(app.arguments().mid(1));
    std::printf("%s\n%s\n", qPrintable(result.archive.toLocalFile()), qPrintable(result.failure));
    return 0;
}
