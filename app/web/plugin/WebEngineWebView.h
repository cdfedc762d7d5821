#pragma once

#include "app/web/WebView.h"

class QVariantAnimation;
class QWebChannel;
class QWebEnginePage;
class QWebEngineView;
class ScriptMessageBridge;

// WebView on Qt WebEngine: a QWebEngineView filling this widget, with the message handlers
// bridged over QWebChannel and the alpha value applied as the page's own opacity.
class WebEngineWebView : public WebView {
    Q_OBJECT
public:
    explicit WebEngineWebView(QWidget* parent = nullptr);

    void addScriptMessageHandler(const QString& name) override;
    void load(const QUrl& url) override;
    void setDrawsBackground(bool draws) override;
    bool drawsBackground() const override { return m_drawsBackground; }
    void setAlphaValue(double alpha) override;
    double alphaValue() const override { return m_alpha; }
    void animateAlphaValue(double alpha) override;
    void runJavaScript(const QString& script) override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyAlpha(double alpha, double durationSeconds);
    void setBackgroundAlpha(double alpha);
    void replaceScript(const QString& name, const QString& source);
    void installMessagingScript();

    QWebEngineView* m_view;
    QWebEnginePage* m_page;
    QWebChannel* m_channel;
    ScriptMessageBridge* m_bridge;
    QVariantAnimation* m_backgroundFade;
    bool m_drawsBackground = true;
    double m_alpha = 1.0;
    double m_backgroundAlpha = 1.0;
};
