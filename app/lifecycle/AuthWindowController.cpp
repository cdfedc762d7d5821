#include "app/lifecycle/AuthWindowController.h"

#include "app/service/AccountSetup.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/WebLink.h"
#include "platform/gui/Application.h"
#include "platform/gui/UserNotificationCenter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

void AuthWindowBGView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), Qt::white);
}

namespace {

QLabel* label(const QString& text, QWidget* parent, int pointSizeDelta = 0, bool bold = false)
{
    auto* shown = new QLabel(text, parent);
    shown->setWordWrap(true);
    shown->setTextFormat(Qt::PlainText);
    QFont font = shown->font();
    font.setPointSize(font.pointSize() + pointSizeDelta);
    font.setBold(bold);
    shown->setFont(font);
    // Dark text on the white plate, whatever the desktop's theme says.
    QPalette palette = shown->palette();
    palette.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
    shown->setPalette(palette);
    return shown;
}

} // namespace

AuthWindowController::AuthWindowController(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("AuthWindowController"));
    setWindowTitle(QStringLiteral("Parcly Lite: Account Not Found"));

    auto* background = new AuthWindowBGView(this);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(background);

    auto* layout = new QVBoxLayout(background);
    layout->setContentsMargins(28, 24, 28, 22);
    layout->setSpacing(12);
    layout->addWidget(label(QStringLiteral("Parcly no longer knows this account"), background, 5, true));
    layout->addWidget(label(QStringLiteral("The Parcly service did not recognise the account Parcly Lite signs in with, so your "
                                           "uploads cannot go through. Choose how you want to go on."),
                            background));
    layout->addWidget(label(QStringLiteral("Get the Full Client: opens the download page of the Parcly desktop client. "
                                           "Install it and log in with your Parcly Pro account. This account stays as it is."),
                            background, -1));
    layout->addWidget(label(QStringLiteral("Stay with Parcly Lite: makes a new free account and uses it from now on. "
                                           "Drops shared with the old account stay with it."),
                            background, -1));
    layout->addSpacing(8);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_getPro = new QPushButton(QStringLiteral("Get the Full Client"), background);
    m_getPro->setObjectName(QStringLiteral("getPro"));
    m_stayLite = new QPushButton(QStringLiteral("Stay with Parcly Lite"), background);
    m_stayLite->setObjectName(QStringLiteral("stayLite"));
    m_stayLite->setDefault(true);
    buttons->addWidget(m_getPro);
    buttons->addWidget(m_stayLite);
    layout->addLayout(buttons);

    connect(m_getPro, &QPushButton::clicked, this, &AuthWindowController::getPro);
    connect(m_stayLite, &QPushButton::clicked, this, &AuthWindowController::stayLite);

    // The wrapped texts decide the height.
    setFixedWidth(460);
    setFixedHeight(outer->totalHeightForWidth(460));
}

void AuthWindowController::showWindow()
{
    show();
    raise();
    activateWindow();
}

QUrl AuthWindowController::downloadPage()
{
    return QUrl(ServiceConfiguration::webOrigin() + QStringLiteral("/download/mac_direct"));
}

void AuthWindowController::getPro()
{
    WebLink::openWebPage(downloadPage(), QStringLiteral("download page"));
    UserNotificationCenter::defaultUserNotificationCenter().deliverNotification({kNotificationTitle, kNotificationSubtitle, QString()});
}

void AuthWindowController::stayLite()
{
    // The new credentials are stored before the request leaves; the window closes when the
    // service has answered, whatever it said. A failure is logged by the service client, and if
    // the service later rejects this account too, the prompt comes back.
    QPointer<AuthWindowController> self(this);
    AccountSetup::registerFreeAccount([self](bool, const QVariant&) {
        if (self)
            self->close();
    });
}
