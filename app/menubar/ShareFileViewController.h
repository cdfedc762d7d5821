#pragma once

#include <QVariant>
#include <QWidget>

class WebView;

// The first-share popover's content: the local "ShareFile" page in a transparent web view that
// fades in once loaded; the page's "shareFile" message opens the file panel, and the chosen file
// is uploaded.
class ShareFileViewController : public QWidget {
    Q_OBJECT
public:
    explicit ShareFileViewController(QWidget* parent = nullptr);

    // Builds the view and starts loading the page.
    void loadView();

    WebView* webView() const { return m_webView; }

    // Web view callbacks.
    void didFinishNavigation();
    void didReceiveScriptMessage(const QString& name, const QVariant& body);

    static inline const QString kMessageHandlerName = QStringLiteral("shareFile");
    static constexpr int kFadeInDelayMs = 200;

private:
    WebView* m_webView = nullptr;
};
