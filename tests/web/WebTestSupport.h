#pragma once

#include "app/web/WebView.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QList>
#include <QPair>
#include <QScopedPointer>
#include <QWidget>

// A window of a known colour with a web view from the module filling it, as a popover hosts one.
class WebViewTest : public testing::Test {
protected:
    static constexpr QRgb kHostColor = 0xffff00ff; // magenta: no page ever paints it

    void SetUp() override;
    void TearDown() override;

    // Loads a page and waits until it has loaded or failed; true when it loaded.
    bool loadAndWait(const QUrl& url);
    QUrl testPage(const QString& name) const;

    // What the screen shows of the window, as a person would see it.
    QImage screenshot() const;
    QRgb pixelAt(int x, int y) const { return screenshot().pixel(x, y); }
    bool waitForPixel(int x, int y, QRgb colour, int timeoutMs = 10000) const;

    QScopedPointer<QWidget> window;
    WebView* view = nullptr;
    int finished = 0;
    int failed = 0;
    QList<QPair<QString, QVariant>> messages;
};

// The colours a test page paints, far enough apart to tell after anti-aliasing.
bool sameColour(QRgb a, QRgb b);
