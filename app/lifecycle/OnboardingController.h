#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QVariant>

class QWidget;
class StartAtLogin;
class StatusItem;
class WebView;

// The welcome window of the first launch: the local "Onboarding" page fills it and talks back
// through the "onboarding" script messages. Dismissed by the page or by closing, the window flies
// into the app's icon and the start-at-login choice made there goes to the launcher's registration.
class OnboardingController : public QObject {
    Q_OBJECT
public:
    // `statusItem` is the icon the window flies into; without one it flies to the zero rectangle.
    explicit OnboardingController(StartAtLogin& startAtLogin, StatusItem* statusItem = nullptr, QObject* parent = nullptr);
    ~OnboardingController() override;

    // The window, built and loaded on first use.
    QWidget* window();
    void showWindow();

    WebView* webView() const { return m_webView; }
    bool startAtLogin() const { return m_startAtLogin; }
    void setStartAtLogin(bool startAtLogin) { m_startAtLogin = startAtLogin; }

    // Builds the web view and starts loading the page.
    void windowDidLoad();
    // {"action": "skip"} dismisses; {"action": "startAtLogin", "value": true | false | number}
    // records the choice. Anything else changes nothing.
    void didReceiveScriptMessage(const QString& name, const QVariant& body);
    // Closing dismisses instead: the answer is always false.
    bool windowShouldClose();
    // Zooms the window off into the app's icon.
    void zoomOut();
    // Applies the choice to both ways of starting at login (the app's entry and the launcher).
    void handleStartAtLogin();

    // The app's icon on screen: the tray icon where the tray says where it is, else the visible
    // drop target, else the zero rectangle.
    QRect zoomTarget() const;

    static inline const QString kMessageHandlerName = QStringLiteral("onboarding");
    static inline const QString kWindowTitle = QStringLiteral("Welcome to Parcly Lite");

signals:
    // The page has loaded, msSinceShown after the window was shown.
    void pageShown(qint64 msSinceShown);

private:
    void didFinishNavigation();
    QUrl pageUrl() const;

    StartAtLogin& m_startAtLoginSetting;
    QPointer<StatusItem> m_statusItem;
    QPointer<QWidget> m_window;
    WebView* m_webView = nullptr;
    bool m_startAtLogin = true;
    QElapsedTimer m_sinceShown;
};
