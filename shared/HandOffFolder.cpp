#include "shared/HandOffFolder.h"

#include "platform/TemporaryDirectory.h"

QString shareHandOffDirectory()
{
    return temporaryDirectoryWithSubfolder(QString::fromLatin1(kShareHandOffSubfolder));
}
