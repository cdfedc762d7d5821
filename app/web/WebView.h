#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>
#include <QWidget>

// A web view whose pages are written as for WebKit: they post to the app with
// window.webkit.messageHandlers.NAME.postMessage(body). The implementation lives in the
// web helper program (see WebModule), so code that uses this header never links a browser engine.
class WebView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    // Makes window.webkit.messageHandlers.NAME available to the pages this view loads.
    // Messages posted before the page's side is connected are kept and delivered in order.
    virtual void addScriptMessageHandler(const QString& name) = 0;
    virtual void load(const QUrl& url) = 0;
    // false: the view paints no background, only the page's own content shows.
    virtual void setDrawsBackground(bool draws) = 0;
    virtual bool drawsBackground() const = 0;
    // 0 invisible .. 1 opaque. setAlphaValue is immediate; animateAlphaValue fades over ~0.25 s.
    virtual void setAlphaValue(double alpha) = 0;
    virtual double alphaValue() const = 0;
    virtual void animateAlphaValue(double alpha) = 0;
    // Runs a script in the current page's main world; the result is not returned.
    virtual void runJavaScript(const QString& script) = 0;

signals:
    // The main frame finished loading successfully; never after a failed load.
    void didFinishNavigation();
    // The main frame could not be loaded (missing file, network error, ...).
    void didFailNavigation(const QString& reason);
    // The page posted body (a QVariantMap, QVariantList, QString, double, bool, or a null
    // QVariant when the body is absent or null) to the handler called name.
    void didReceiveScriptMessage(const QString& name, const QVariant& body);
};
