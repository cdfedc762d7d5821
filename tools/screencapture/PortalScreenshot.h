#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

// An interactive screenshot through the desktop portal, for Wayland sessions where no program
// may read the screen itself. The portal's own dialog lets the user pick the screen, a window or
// an area: nothing is chosen for it.
class PortalScreenshot : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Taken, Cancelled, Failed };

    // Runs a nested event loop until the portal answers. On Taken, *image is the file the
    // portal wrote; on Failed, *error is a sentence for the user saying what failed and, where
    // something is missing, what to install.
    Outcome take(QUrl* image, QString* error);

signals:
    void answered();

private slots:
    void onResponse(uint response, const QVariantMap& results);

private:
    bool m_answered = false;
    uint m_response = 2;
    QVariantMap m_results;
};
