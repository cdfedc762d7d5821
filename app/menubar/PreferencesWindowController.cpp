#include "app/menubar/PreferencesWindowController.h"

#include "app/lifecycle/AppDelegate.h"
#include "app/lifecycle/Updater.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/ShortcutRecorder.h"
#include "platform/DefaultsController.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kUploadAllScreenshotsKeyPath = QStringLiteral("values.uploadAllScreenshots");

QString itemName(int tag)
{
    switch (tag) {
    case ParclyStatusMenu::TagShareFile:
        return QStringLiteral("Share a file");
    case ParclyStatusMenu::TagScreenshot:
        return QStringLiteral("Capture screen region");
    case ParclyStatusMenu::TagGrabWindow:
        return QStringLiteral("Capture window");
    default:
        return {};
    }
}

QLabel* sectionTitle(const QString& text, QWidget* parent)
{
    auto* title = new QLabel(text, parent);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    return title;
}

// Whether the X server lets us have the combination: ours already, or grabbable now. Without an
// X11 display no hot key works at all, and the hot-key centre says so once in the log.
bool serverAllows(quint16 keyCode, quint64 modifierFlags)
{
    HotKeyCenter& center = HotKeyCenter::sharedHotKeyCenter();
    if (center.hasRegisteredHotKey(keyCode, modifierFlags))
        return true;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return true;
    QObject probe;
    if (!center.registerHotKey(keyCode, modifierFlags, &probe, {}))
        return false;
    center.unregisterHotKey(keyCode, modifierFlags);
    return true;
}

} // namespace

PreferencesWindowController::PreferencesWindowController(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("PreferencesWindowController"));
    setWindowTitle(QStringLiteral("Parcly Lite Preferences"));
    windowDidLoad();
}

ShortcutRecorder* PreferencesWindowController::makeRecorder(int tag)
{
    auto* recorder = new ShortcutRecorder(this);
    recorder->setMinimumWidth(200);
    recorder->setValidator([this, tag](quint16 keyCode, quint64 flags) { return refusalFor(tag, keyCode, flags); });
    connect(recorder, &ShortcutRecorder::refused, this, [this](const QString& reason) {
        m_message->setText(reason);
        m_message->show();
        fitHeight();
    });
    connect(recorder, &ShortcutRecorder::recordingStarted, this, [] { ParclyStatusMenu::instance().setHotKeysSuspended(true); });
    connect(recorder, &ShortcutRecorder::recordingEnded, this, [] { ParclyStatusMenu::instance().setHotKeysSuspended(false); });
    connect(recorder, &ShortcutRecorder::recorded, this, [this] {
        m_message->clear();
        m_message->hide();
        fitHeight();
    });
    // Where the menu reads the shortcut from; while nothing is stored there, it shows the
    // combination the menu uses.
    const ParclyStatusMenu::Shortcut fallback = ParclyStatusMenu::defaultShortcutForTag(tag);
    recorder->setDefaultValue(ShortcutRecorder::shortcutDictionary(quint16(fallback.keyCode), fallback.modifierFlags));
    recorder->bind(ParclyStatusMenu::keyPathForTag(tag));
    return recorder;
}

void PreferencesWindowController::windowDidLoad()
{
    // A white window whatever the desktop's theme: dark text on it.
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
    setPalette(palette);
    setAutoFillBackground(true);

    m_shareFile = makeRecorder(ParclyStatusMenu::TagShareFile);
    m_takeScreenshot = makeRecorder(ParclyStatusMenu::TagScreenshot);
    m_grabWindow = makeRecorder(ParclyStatusMenu::TagGrabWindow);

    m_uploadAllScreenshotsButton = new QCheckBox(QStringLiteral("Upload every new screenshot"), this);
    bindUploadAllScreenshots();

    m_startAtLoginButton = new QCheckBox(QStringLiteral("Start Parcly Lite at login"), this);
    // Read once: the window shows the setting as it was when it opened.
    m_startAtLoginButton->setChecked(AppDelegate::instance().startAtLoginIsEnabled());
    connect(m_startAtLoginButton, &QCheckBox::toggled, this, &PreferencesWindowController::setStartAtLogin);

    m_checkForUpdatesButton = new QPushButton(QStringLiteral("Check for Updates…"), this);
    connect(m_checkForUpdatesButton, &QPushButton::clicked, this, &PreferencesWindowController::checkForUpdates);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("refusal"));
    m_message->setWordWrap(true);
    QPalette warning = m_message->palette();
    warning.setColor(QPalette::WindowText, QColor(0xc0, 0x1c, 0x28));
    m_message->setPalette(warning);
    m_message->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(10);
    layout->addWidget(sectionTitle(QStringLiteral("Keyboard shortcuts"), this));
    auto* shortcuts = new QFormLayout;
    shortcuts->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    shortcuts->addRow(itemName(ParclyStatusMenu::TagShareFile) + QLatin1Char(':'), m_shareFile);
    shortcuts->addRow(itemName(ParclyStatusMenu::TagScreenshot) + QLatin1Char(':'), m_takeScreenshot);
    shortcuts->addRow(itemName(ParclyStatusMenu::TagGrabWindow) + QLatin1Char(':'), m_grabWindow);
    layout->addLayout(shortcuts);
    layout->addWidget(m_message);
    auto* hint = new QLabel(QStringLiteral("Click a shortcut and press the new combination. Backspace or the clear button "
                                           "brings back the default."),
                            this);
    hint->setWordWrap(true);
    QPalette muted = hint->palette();
    muted.setColor(QPalette::WindowText, QColor(0x6e, 0x6e, 0x73));
    hint->setPalette(muted);
    layout->addWidget(hint);
    layout->addSpacing(8);
    layout->addWidget(sectionTitle(QStringLiteral("General"), this));
    layout->addWidget(m_startAtLoginButton);
    layout->addWidget(m_uploadAllScreenshotsButton);
    layout->addSpacing(8);
    layout->addWidget(sectionTitle(QStringLiteral("Updates"), this));
    auto* updates = new QHBoxLayout;
    updates->addWidget(m_checkForUpdatesButton);
    auto* version = new QLabel(QStringLiteral("Version %1").arg(Updater::currentVersion()), this);
    version->setPalette(muted);
    updates->addWidget(version);
    updates->addStretch(1);
    layout->addLayout(updates);

    setFixedWidth(440);
    fitHeight();
}

void PreferencesWindowController::fitHeight()
{
    // The wrapped texts decide the height; the message comes and goes.
    setFixedHeight(layout()->totalHeightForWidth(width()));
}

void PreferencesWindowController::bindUploadAllScreenshots()
{
    DefaultsController& controller = DefaultsController::sharedUserDefaultsController();
    const auto show = [this] {
        const QSignalBlocker quiet(m_uploadAllScreenshotsButton);
        m_uploadAllScreenshotsButton->setChecked(DefaultsController::sharedUserDefaultsController().valueForKeyPath(kUploadAllScreenshotsKeyPath).toBool());
    };
    show();
    connect(&controller, &DefaultsController::valueChanged, m_uploadAllScreenshotsButton, [show](const QString& key) {
        if (QStringLiteral("values.") + key == kUploadAllScreenshotsKeyPath)
            show();
    });
    connect(m_uploadAllScreenshotsButton, &QCheckBox::toggled, this, [](bool on) {
        DefaultsController::sharedUserDefaultsController().setValueForKeyPath(on, kUploadAllScreenshotsKeyPath);
    });
}

QString PreferencesWindowController::refusalFor(int tag, quint16 keyCode, quint64 modifierFlags) const
{
    const QString keys = KeyCodes::keySequenceForKeyCode(keyCode, modifierFlags).toString(QKeySequence::NativeText);
    const ParclyStatusMenu::Shortcut current = ParclyStatusMenu::shortcutForTag(tag);
    if (current.keyCode == keyCode && current.modifierFlags == modifierFlags)
        return {};
    for (int other : {int(ParclyStatusMenu::TagShareFile), int(ParclyStatusMenu::TagScreenshot), int(ParclyStatusMenu::TagGrabWindow)}) {
        if (other == tag)
            continue;
        const ParclyStatusMenu::Shortcut taken = ParclyStatusMenu::shortcutForTag(other);
        if (taken.keyCode == keyCode && taken.modifierFlags == modifierFlags)
            return QStringLiteral("%1 is already the shortcut for “%2”. Choose another combination.").arg(keys, itemName(other));
    }
    if (!serverAllows(keyCode, modifierFlags))
        return QStringLiteral("%1 is taken by another program, or no key of this keyboard makes it. Choose another combination.").arg(keys);
    return {};
}

void PreferencesWindowController::showWindow()
{
    show();
    raise();
    activateWindow();
}

void PreferencesWindowController::setStartAtLogin(bool on)
{
    AppDelegate::instance().setStartAtLogin(on);
}

void PreferencesWindowController::checkForUpdates()
{
    AppDelegate::instance().sparkle()->checkForUpdates(m_checkForUpdatesButton);
}
