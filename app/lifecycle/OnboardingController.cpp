#include "app/lifecycle/OnboardingController.h"

#include "app/menubar/DropTargetWindow.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/StartAtLogin.h"
#include "app/menubar/StatusItem.h"
#include "app/menubar/WindowZoom.h"
#include "app/web/WebModule.h"
#include "app/web/WebView.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/gui/KeyCodes.h"
#include "shared/SharedConstants.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWindow>

#include <cmath>
#include <optional>

namespace {

constexpr QSize kWindowSize{760, 500};
// The strip along the top that moves the window, as a title bar would; the page keeps it clear.
constexpr int kTitleStripHeight = 36;

bool prefersDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QColor plateColor()
{
    // The page's own background is transparent: this plate is what shows, at once and behind it.
    return prefersDark() ? QColor(0x1f, 0x21, 0x26) : QColor(0xf6, 0xf7, 0xfa);
}

// The "value" of a "startAtLogin" message: a boolean, or a number where non-zero is YES; missing
// or null is NO. Nothing for a value of any other kind.
std::optional<bool> startAtLoginChoice(const QVariant& value)
{
    if (value.isNull())
        return false;
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double: {
        const double number = value.toDouble();
        if (std::isnan(number))
            return std::nullopt;
        return number != 0.0;
    }
    default:
        return std::nullopt;
    }
}

QString shortcutText(int tag)
{
    const ParclyStatusMenu::Shortcut shortcut = ParclyStatusMenu::shortcutForTag(tag);
    return KeyCodes::keySequenceForKeyCode(static_cast<quint16>(shortcut.keyCode), shortcut.modifierFlags)
        .toString(QKeySequence::NativeText);
}

// Frameless, with the page filling it: the title bar is a see-through strip over the page's top
// that moves the window, with a close button in it. Closing asks the controller first.
class OnboardingWindow : public QWidget {
public:
    explicit OnboardingWindow(OnboardingController* controller)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint)
        , m_controller(controller)
        , m_titleStrip(new QWidget(this))
        , m_closeButton(new QToolButton(m_titleStrip))
    {
        setObjectName(QStringLiteral("OnboardingWindow"));
        setWindowTitle(OnboardingController::kWindowTitle);
        setAttribute(Qt::WA_DeleteOnClose, false);
        resize(kWindowSize);
        m_titleStrip->setObjectName(QStringLiteral("OnboardingTitleStrip"));
        m_titleStrip->installEventFilter(this);
        m_closeButton->setObjectName(QStringLiteral("OnboardingCloseButton"));
        m_closeButton->setText(QStringLiteral("\u2715"));
        m_closeButton->setToolTip(QStringLiteral("Close"));
        m_closeButton->setAutoRaise(true);
        m_closeButton->setFocusPolicy(Qt::NoFocus);
        m_closeButton->setCursor(Qt::ArrowCursor);
        m_closeButton->setStyleSheet(QStringLiteral("QToolButton { border: none; border-radius: 11px; color: %1; font-size: 12px; }"
                                                    "QToolButton:hover { background: %2; }")
                                         .arg(prefersDark() ? QStringLiteral("#c9ccd3") : QStringLiteral("#5d6270"),
                                              prefersDark() ? QStringLiteral("#3a3d45") : QStringLiteral("#e3e5ea")));
        connect(m_closeButton, &QToolButton::clicked, this, &QWidget::close);
    }

    // The page's view, under the title strip.
    void setContent(QWidget* content)
    {
        m_content = content;
        content->setParent(this);
        layoutChildren();
        m_titleStrip->raise();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), plateColor());
    }

    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        layoutChildren();
    }

    void closeEvent(QCloseEvent* event) override
    {
        if (m_controller && !m_controller->windowShouldClose())
            event->ignore();
        else
            event->accept();
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->matches(QKeySequence::Cancel) || event->matches(QKeySequence::Close))
            close();
        else
            QWidget::keyPressEvent(event);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_titleStrip && event->type() == QEvent::MouseButtonPress
            && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && windowHandle()) {
            windowHandle()->startSystemMove();
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    void layoutChildren()
    {
        if (m_content)
            m_content->setGeometry(rect());
        m_titleStrip->setGeometry(0, 0, width(), kTitleStripHeight);
        m_closeButton->setGeometry(width() - 34, 8, 22, 22);
    }

    QPointer<OnboardingController> m_controller;
    QWidget* m_titleStrip;
    QToolButton* m_closeButton;
    QPointer<QWidget> m_content;
};

} // namespace

OnboardingController::OnboardingController(StartAtLogin& startAtLogin, StatusItem* statusItem, QObject* parent)
    : QObject(parent)
    , m_startAtLoginSetting(startAtLogin)
    , m_statusItem(statusItem)
{
}

OnboardingController::~OnboardingController()
{
    delete m_window;
}

QWidget* OnboardingController::window()
{
    if (!m_window) {
        m_window = new OnboardingWindow(this);
        windowDidLoad();
    }
    return m_window;
}

void OnboardingController::showWindow()
{
    QWidget* window = this->window();
    if (!window->isVisible()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            window->move(screen->availableGeometry().center() - QPoint(window->width() / 2, window->height() / 2));
        m_sinceShown.start();
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void OnboardingController::windowDidLoad()
{
    auto* window = static_cast<OnboardingWindow*>(m_window.data());
    m_webView = WebModule::createWebView(window);
    if (m_webView) {
        m_webView->addScriptMessageHandler(kMessageHandlerName);
        // The window's plate shows until the page has loaded, then the page fades in over it.
        m_webView->setDrawsBackground(false);
        m_webView->setAlphaValue(0.0);
        window->setContent(m_webView);
        m_webView->setFocus();
        connect(m_webView, &WebView::didReceiveScriptMessage, this, &OnboardingController::didReceiveScriptMessage);
        connect(m_webView, &WebView::didFinishNavigation, this, &OnboardingController::didFinishNavigation);
        connect(m_webView, &WebView::didFailNavigation, this,
                [](const QString& reason) { logLine(QStringLiteral("Onboarding page did not load: %1").arg(reason)); });
        const QUrl page = pageUrl();
        if (page.isEmpty())
            logLine(QStringLiteral("Onboarding page missing from the bundle's resources."));
        else
            m_webView->load(page);
    } else {
        // Without a page the window still closes, and that still applies the choice.
        logLine(QStringLiteral("Onboarding page unavailable: the web module did not load."));
    }
    m_startAtLogin = true;
}

QUrl OnboardingController::pageUrl() const
{
    const QString page = Bundle::mainBundle().pathForResource(QStringLiteral("Onboarding"), QStringLiteral("html"));
    if (page.isEmpty())
        return {};
    // What the page shows that only the app knows: the shortcuts as they are set now, and the
    // look the desktop asks for.
    // Every value fully escaped: a page reads "+" in a query as a space.
    const auto item = [](const QString& key, const QString& value) {
        return key + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    QUrl url = QUrl::fromLocalFile(page);
    url.setQuery(QStringList{item(QStringLiteral("shareFile"), shortcutText(ParclyStatusMenu::TagShareFile)),
                             item(QStringLiteral("takeScreenshot"), shortcutText(ParclyStatusMenu::TagScreenshot)),
                             item(QStringLiteral("grabWindow"), shortcutText(ParclyStatusMenu::TagGrabWindow)),
                             item(QStringLiteral("theme"), prefersDark() ? QStringLiteral("dark") : QStringLiteral("light"))}
                     .join(QLatin1Char('&')));
    return url;
}

void OnboardingController::didFinishNavigation()
{
    if (!m_webView)
        return;
    m_webView->animateAlphaValue(1.0);
    const qint64 elapsed = m_sinceShown.isValid() ? m_sinceShown.elapsed() : -1;
    logLine(QStringLiteral("Onboarding page loaded %1 ms after the window showed").arg(elapsed));
    emit pageShown(elapsed);
}

void OnboardingController::didReceiveScriptMessage(const QString&, const QVariant& body)
{
    if (body.typeId() != QMetaType::QVariantMap) {
        logLine(QStringLiteral("Onboarding: ignoring a message that is not an object"));
        return;
    }
    const QVariantMap message = body.toMap();
    const QVariant action = message.value(QStringLiteral("action"));
    if (action.typeId() != QMetaType::QString) {
        logLine(QStringLiteral("Onboarding: ignoring a message without an action"));
        return;
    }
    if (action.toString() == QLatin1String("skip")) {
        zoomOut();
        handleStartAtLogin();
    }
    if (action.toString() == QLatin1String("startAtLogin")) {
        const std::optional<bool> choice = startAtLoginChoice(message.value(QStringLiteral("value")));
        if (choice)
            setStartAtLogin(*choice);
        else
            logLine(QStringLiteral("Onboarding: ignoring a start-at-login choice that is neither a boolean nor a number"));
    }
}

bool OnboardingController::windowShouldClose()
{
    zoomOut();
    handleStartAtLogin();
    return false;
}

void OnboardingController::zoomOut()
{
    if (m_window)
        Extensions::zoomOffToRect(m_window, zoomTarget());
}

QRect OnboardingController::zoomTarget() const
{
    const StatusItem* item = m_statusItem;
    if (!item)
        return {};
    const QRect tray = item->trayIcon() ? item->trayIcon()->geometry() : QRect();
    if (item->hasTray() && tray.isValid() && !tray.isEmpty())
        return tray;
    DropTargetWindow* button = item->button();
    if (button && button->isVisible())
        return button->frameGeometry();
    return {};
}

void OnboardingController::handleStartAtLogin()
{
    // Both ways of starting at login follow the switch: off leaves nothing of ours in the list.
    m_startAtLoginSetting.setStartAtLogin(m_startAtLogin);
}
