#include "app/menubar/ShareFileViewController.h"

#include "app/web/WebModule.h"
#include "app/web/WebView.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/gui/Application.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

ShareFileViewController::ShareFileViewController(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("ShareFileViewController"));
}

void ShareFileViewController::loadView()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    m_webView = WebModule::createWebView(this);
    if (!m_webView) {
        logLine(QStringLiteral("Share page unavailable: the web module did not load."));
        return;
    }
    m_webView->addScriptMessageHandler(kMessageHandlerName);
    m_webView->setAlphaValue(0.0);
    m_webView->setDrawsBackground(false);
    layout->addWidget(m_webView);
    connect(m_webView, &WebView::didFinishNavigation, this, &ShareFileViewController::didFinishNavigation);
    connect(m_webView, &WebView::didReceiveScriptMessage, this, &ShareFileViewController::didReceiveScriptMessage);

    const QString page = Bundle::mainBundle().pathForResource(QStringLiteral("ShareFile"), QStringLiteral("html"));
    if (page.isEmpty())
        logLine(QStringLiteral("Share page missing from the bundle's resources."));
    m_webView->load(QUrl::fromLocalFile(page));
}

void ShareFileViewController::didFinishNavigation()
{
    // The share shortcut as it is set now, not as the page was written.
    const QJsonArray keys = QJsonArray::fromStringList(m_shortcutKeys);
    m_webView->runJavaScript(
        QStringLiteral("showShortcut(%1);").arg(QString::fromUtf8(QJsonDocument(keys).toJson(QJsonDocument::Compact))));
    QPointer<ShareFileViewController> self(this);
    QTimer::singleShot(kFadeInDelayMs, this, [self] {
        dispatchToMainQueue([self] {
            if (!self || !self->m_webView)
                return;
            self->m_webView->animateAlphaValue(1.0);
            Application::activateIgnoringOtherApps();
        });
    });
}

void ShareFileViewController::didReceiveScriptMessage(const QString& name, const QVariant&)
{
    if (name != kMessageHandlerName)
        return;
    emit openPanelRequested();
}
