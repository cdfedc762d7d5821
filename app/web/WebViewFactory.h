#pragma once

#include <QtPlugin>

class QWidget;
class WebView;

// What the web-view module exports: the one way the app gets an engine-backed WebView.
class WebViewFactory {
public:
    virtual ~WebViewFactory() = default;
    virtual WebView* createWebView(QWidget* parent) = 0;
};

#define WebViewFactory_iid "org.parcly.lite.WebViewFactory/1.0"
Q_DECLARE_INTERFACE(WebViewFactory, WebViewFactory_iid)
