#pragma once

#include <QStringList>
#include <QVariant>
#include <QWidget>

class WebView;

// The first-share popover's content: the local "ShareFile" page in a transparent web view that
// fades in once loaded and shows the share shortcut's keys; the page's "shareFile" message asks
// for the file panel.
class ShareFileViewController : public QWidget {
    Q_OBJECT
public:
    explicit ShareFileViewController(QWidget* parent = nullptr);

    // The share shortcut's keys as a person reads them, e.g. {"Alt", "Shift", "D"}.
    void setShortcutKeys(const QStringList& keys) { m_shortcutKeys = keys; }
    // Builds the view and starts loading the page.
    void loadView();

    WebView* webView() const { return m_webView; }

    // Web view callbacks.
    void didFinishNavigation();
    void didReceiveScriptMessage(const QString& name, const QVariant& body);

    static inline const QString kMessageHandlerName = QStringLiteral("shareFile");
    static constexpr int kFadeInDelayMs = 200;

signals:
    void openPanelRequested();

private:
    WebView* m_webView = nullptr;
    QStringList m_shortcutKeys;
};
