#pragma once

#include "app/web/WebView.h"

#include <QByteArray>
#include <QImage>
#include <QPointer>
#include <QStringList>

class QProcess;
class QVariantAnimation;
class WebHelperChannel;

// WebView whose page lives in the web helper program: the helper renders it and sends frames,
// this widget paints them (with its own background and alpha) and sends the user's input back.
// The helper starts when a page is loaded or the view is shown with a page, and is told to exit
// when the view is hidden (its window closed) or destroyed: the engine's memory and processes
// never stay behind in the app.
class RemoteWebView : public WebView {
    Q_OBJECT
public:
    explicit RemoteWebView(const QString& helperPath, QWidget* parent = nullptr);
    ~RemoteWebView() override;

    void addScriptMessageHandler(const QString& name) override;
    void load(const QUrl& url) override;
    void setDrawsBackground(bool draws) override;
    bool drawsBackground() const override { return m_drawsBackground; }
    void setAlphaValue(double alpha) override;
    double alphaValue() const override { return m_alpha; }
    void animateAlphaValue(double alpha) override;
    void runJavaScript(const QString& script) override;

    // The running helper's process id, or 0.
    qint64 helperProcessId() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void startHelper();
    void stopHelper();
    void send(const QVariantList& message);
    void handle(const QVariantList& message);
    void showFrame(const QVariantList& message);
    void forwardMouse(QMouseEvent* event);
    void forwardKey(QKeyEvent* event);
    void setPaintedAlpha(double alpha);

    QString m_helperPath;
    QProcess* m_process = nullptr;
    WebHelperChannel* m_channel = nullptr;
    QStringList m_handlers;
    QUrl m_url;
    QByteArray m_frameBytes;
    QImage m_frame;
    QVariantAnimation* m_fade;
    bool m_drawsBackground = true;
    double m_alpha = 1.0;
    double m_paintedAlpha = 1.0;
};
