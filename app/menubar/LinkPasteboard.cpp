#include "app/menubar/LinkPasteboard.h"

#include "platform/gui/Pasteboard.h"
#include "platform/gui/PasteboardTypes.h"

#include <QUrl>

void copyLinkToPasteboard(const QUrl& link)
{
    const QString address = link.toString(QUrl::FullyEncoded);
    Pasteboard& pasteboard = Pasteboard::generalPasteboard();
    pasteboard.declareTypes({NSStringPboardType, NSURLPboardType}, nullptr);
    pasteboard.setStringForType(address, NSStringPboardType);
    pasteboard.setStringForType(address, NSURLPboardType);
}
