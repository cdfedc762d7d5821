#pragma once

#include <QUrl>
#include <QWidget>

class QPushButton;

// The window's background: plain opaque white.
class AuthWindowBGView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The upgrade prompt, shown when the service no longer knows the stored account: get the full
// client (its download page, and a notification saying what to do there), or stay with Parcly
// Lite on a new free account.
class AuthWindowController : public QWidget {
    Q_OBJECT
public:
    explicit AuthWindowController(QWidget* parent = nullptr);

    void showWindow();

    // Button actions.
    void getPro();
    void stayLite();

    // The web site's "/download/mac_direct".
    static QUrl downloadPage();

    QPushButton* getProButton() const { return m_getPro; }
    QPushButton* stayLiteButton() const { return m_stayLite; }

    static inline const QString kNotificationTitle = QStringLiteral("Download Parcly for Mac");
    static inline const QString kNotificationSubtitle = QStringLiteral("Then log in with your Parcly Pro account.");

private:
    QPushButton* m_getPro = nullptr;
    QPushButton* m_stayLite = nullptr;
};
