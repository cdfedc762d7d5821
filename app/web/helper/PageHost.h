#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantList>

class QQuickWidget;
class QWebChannel;
class QWebEnginePage;
class QWebEngineView;
class QWidget;
class ScriptMessageBridge;
class WebHelperChannel;

// The helper's page: a web engine view in a window that is never put on screen. It renders for
// the app, which shows its frames and passes back the user's input; the page's script messages,
// navigation results and cursor go to the app over the channel.
class PageHost : public QObject {
    Q_OBJECT
public:
    explicit PageHost(WebHelperChannel* channel, QObject* parent = nullptr);
    ~PageHost() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void handle(const QVariantList& message);
    void addHandler(const QString& name);
    void installMessagingScript();
    void watchRenderer();
    void sendFrame();
    QWidget* inputTarget() const;

    WebHelperChannel* m_channel;
    QWidget* m_window;
    QWebEngineView* m_view;
    QWebEnginePage* m_page;
    QWebChannel* m_webChannel;
    ScriptMessageBridge* m_bridge;
    QPointer<QQuickWidget> m_renderer;
    QTimer m_frameTimer;
    QImage m_lastFrame;
    bool m_grabbing = false;
};
