#pragma once

#include <QUrl>
#include <QVariant>
#include <QVariantMap>

// The service's answer to an upload, as far as the desktop may act on it. Its short link is opened
// in the browser, announced and put on the clipboard, so only a web link qualifies (WebLink.h).
namespace DropRecord {

// Whether a parsed answer is a drop: a JSON object whose "shortlink" is a web link.
bool isDrop(const QVariant& answer);

// The record's "shortlink" when it is an absolute http or https URL with a host; empty otherwise.
QUrl shortlink(const QVariantMap& record);

} // namespace DropRecord
