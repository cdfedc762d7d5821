#pragma once

class QUrl;

// Puts a drop's link on the clipboard as text and as a URL, as the service wrote it (escapes
// intact), so that it pastes as a working address.
void copyLinkToPasteboard(const QUrl& link);
