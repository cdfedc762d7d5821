#include "app/menubar/PreferencesWindowController.h"

#include "app/menubar/DropExpiryPicker.h"
#include "app/menubar/ParclyStatusMenu.h"
#include "app/menubar/ShortcutRecorder.h"
#include "app/menubar/StartAtLogin.h"
#include "platform/Bundle.h"
#include "platform/DefaultsController.h"
#include "platform/GnomeCustomShortcuts.h"
#include "platform/Log.h"
#include "platform/gui/DesktopShortcutFormats.h"
#include "platform/gui/HotKeyCenter.h"
#include "platform/gui/KeyCodes.h"
#include "platform/gui/PortalGlobalShortcuts.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kUploadAllScreenshotsKeyPath = QStringLiteral("values.uploadAllScreenshots");

constexpr int kShortcutTags[] = {ParclyStatusMenu::TagShareFile, ParclyStatusMenu::TagScreenshot, ParclyStatusMenu::TagGrabWindow};

QString commandOption(int tag)
{
    switch (tag) {
    case ParclyStatusMenu::TagShareFile:
        return QStringLiteral("--share-file");
    case ParclyStatusMenu::TagScreenshot:
        return QStringLiteral("--capture-region");
    case ParclyStatusMenu::TagGrabWindow:
        return QStringLiteral("--capture-window");
    default:
        return {};
    }
}

// The bundle's CFBundleShortVersionString, as the update check compares it.
QString shortVersion()
{
    return Bundle::mainBundle().objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString().trimmed();
}

bool gnomeRuns()
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':')).contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

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

PreferencesWindowController::PreferencesWindowController(ParclyStatusMenu& menu, StartAtLogin& startAtLogin, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_menu(menu)
    , m_startAtLogin(startAtLogin)
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
    connect(recorder, &ShortcutRecorder::recordingStarted, this, [this] { m_menu.setHotKeysSuspended(true); });
    connect(recorder, &ShortcutRecorder::recordingEnded, this, [this] { m_menu.setHotKeysSuspended(false); });
    connect(recorder, &ShortcutRecorder::recorded, this, [this] {
        m_message->clear();
        m_message->hide();
        fitHeight();
    });
    auto* assigned = new QLabel(this);
    assigned->setObjectName(QStringLiteral("assignedTrigger"));
    assigned->setTextInteractionFlags(Qt::TextSelectableByMouse);
    assigned->hide();
    m_assignedTriggers.append(assigned);
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
    m_startAtLoginButton->setChecked(m_startAtLogin.startAtLoginIsEnabled());
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
    ShortcutRecorder* const recorders[] = {m_shareFile, m_takeScreenshot, m_grabWindow};
    for (int i = 0; i < 3; ++i) {
        // The recorder, or in its place the keys the desktop assigned.
        auto* row = new QHBoxLayout;
        row->addWidget(recorders[i]);
        row->addWidget(m_assignedTriggers.at(i), 1);
        shortcuts->addRow(itemName(kShortcutTags[i]) + QLatin1Char(':'), row);
    }
    layout->addLayout(shortcuts);
    layout->addWidget(m_message);

    m_shortcutNote = new QLabel(this);
    m_shortcutNote->setObjectName(QStringLiteral("shortcutNote"));
    m_shortcutNote->setWordWrap(true);
    m_shortcutNote->hide();
    layout->addWidget(m_shortcutNote);
    m_commandLines = new QLabel(this);
    m_commandLines->setObjectName(QStringLiteral("commandLines"));
    m_commandLines->setTextFormat(Qt::PlainText);
    m_commandLines->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A command line broken in two would be copied in two.
    m_commandLines->setWordWrap(false);
    m_commandLines->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_commandLines->hide();
    layout->addWidget(m_commandLines);
    m_gnomeButton = new QPushButton(QStringLiteral("Add to GNOME Keyboard Shortcuts"), this);
    m_gnomeButton->hide();
    connect(m_gnomeButton, &QPushButton::clicked, this, &PreferencesWindowController::toggleGnomeShortcuts);
    auto* gnomeRow = new QHBoxLayout;
    gnomeRow->addWidget(m_gnomeButton);
    gnomeRow->addStretch(1);
    layout->addLayout(gnomeRow);
    auto* hint = m_recorderHint = new QLabel(QStringLiteral("Click a shortcut and press the new combination. Backspace or the clear button "
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
    auto* dropExpiry = new QFormLayout;
    dropExpiry->addRow(QStringLiteral("Delete new drops after:"), new DropExpiryPicker(this));
    layout->addLayout(dropExpiry);
    layout->addSpacing(8);
    layout->addWidget(sectionTitle(QStringLiteral("Updates"), this));
    auto* updates = new QHBoxLayout;
    updates->addWidget(m_checkForUpdatesButton);
    auto* version = new QLabel(QStringLiteral("Version %1").arg(shortVersion()), this);
    version->setPalette(muted);
    updates->addWidget(version);
    updates->addStretch(1);
    layout->addLayout(updates);

    PortalGlobalShortcuts& portal = PortalGlobalShortcuts::shared();
    connect(&portal, &PortalGlobalShortcuts::stateChanged, this, &PreferencesWindowController::refreshShortcutReach);
    connect(&portal, &PortalGlobalShortcuts::triggersChanged, this, &PreferencesWindowController::refreshShortcutReach);
    // The lines for sway carry the recorded combinations.
    connect(&DefaultsController::sharedUserDefaultsController(), &DefaultsController::valueChanged, this, [this](const QString& key) {
        for (int tag : kShortcutTags) {
            if (QStringLiteral("values.") + key == ParclyStatusMenu::keyPathForTag(tag))
                refreshShortcutReach();
        }
    });

    refreshShortcutReach();
}

QLabel* PreferencesWindowController::assignedTriggerLabel(int tag) const
{
    for (int i = 0; i < 3; ++i) {
        if (kShortcutTags[i] == tag)
            return m_assignedTriggers.at(i);
    }
    return nullptr;
}

QString PreferencesWindowController::commandLineForTag(int tag)
{
    const QString option = commandOption(tag);
    return option.isEmpty() ? QString() : QStringLiteral("parcly-lite ") + option;
}

void PreferencesWindowController::refreshShortcutReach()
{
    const PortalGlobalShortcuts::State state = PortalGlobalShortcuts::shared().state();
    // A shortcut the portal gave keys shows those keys; any other keeps its recorder and the grab.
    int delivered = 0;
    ShortcutRecorder* const recorders[] = {m_shareFile, m_takeScreenshot, m_grabWindow};
    for (int i = 0; i < 3; ++i) {
        const QString trigger = ParclyStatusMenu::portalTriggerForTag(kShortcutTags[i]);
        recorders[i]->setVisible(trigger.isEmpty());
        m_assignedTriggers.at(i)->setText(trigger);
        m_assignedTriggers.at(i)->setVisible(!trigger.isEmpty());
        delivered += trigger.isEmpty() ? 0 : 1;
    }
    const bool portal = delivered > 0;
    // Until the portal has answered the X11 grabs serve, and nothing is said yet.
    const bool x11Only = delivered < 3 && state != PortalGlobalShortcuts::State::Binding && HotKeyCenter::isLimitedToX11Windows();
    const QString portalNote = QStringLiteral("The desktop runs these shortcuts and decides their keys. Change them in "
                                              "the desktop's keyboard shortcut settings.");

    if (!x11Only) {
        m_shortcutNote->setText(portalNote);
    } else {
        const QString where = portal ? QStringLiteral("The desktop gave no keys to the others: in this Wayland session they "
                                                      "only work while an X11 window has focus.")
                                     : QStringLiteral("In this Wayland session these shortcuts only work while an X11 "
                                                      "window has focus.");
        m_shortcutNote->setText((portal ? portalNote + QLatin1Char(' ') : QString()) + where
                                + QStringLiteral(" To use them everywhere, have the desktop run these commands from its own "
                                                 "keyboard shortcuts:"));
        QStringList lines;
        for (int tag : kShortcutTags)
            lines.append(QStringLiteral("%1: %2").arg(itemName(tag), commandLineForTag(tag)));
        if (!gnomeRuns()) {
            lines.append(QString());
            lines.append(QStringLiteral("For sway, add these lines to its configuration:"));
            for (int tag : kShortcutTags) {
                const ParclyStatusMenu::Shortcut shortcut = ParclyStatusMenu::shortcutForTag(tag);
                const QString keys = DesktopShortcutFormats::swayBinding(quint16(shortcut.keyCode), shortcut.modifierFlags);
                if (shortcut.keyCode != 0 && !keys.isEmpty())
                    lines.append(QStringLiteral("bindsym %1 exec %2").arg(keys, commandLineForTag(tag)));
            }
        }
        m_commandLines->setText(lines.join(QLatin1Char('\n')));
    }
    m_shortcutNote->setVisible(portal || x11Only);
    m_recorderHint->setVisible(delivered < 3);
    m_commandLines->setVisible(x11Only);
    const bool offerGnome = x11Only && gnomeRuns();
    m_gnomeButton->setVisible(offerGnome);
    if (offerGnome && !m_gnomeQueried) {
        // Whether our entries are there already decides what the button does; ask once.
        m_gnomeQueried = true;
        if (!m_gnome)
            m_gnome = new GnomeCustomShortcuts(this);
        m_gnomeButton->setEnabled(false);
        QStringList slugs;
        for (int tag : kShortcutTags)
            slugs.append(commandOption(tag).mid(2));
        m_gnome->isInstalled(slugs, [this](bool installed, const QString& error) {
            if (!error.isEmpty())
                logLine(QStringLiteral("GNOME custom shortcuts: %1").arg(error));
            showGnomeShortcutsInstalled(installed);
        });
    }
    // Wide enough for the longest command line; the wrapped texts follow.
    setFixedWidth(x11Only ? qMax(440, m_commandLines->sizeHint().width() + 48) : 440);
    fitHeight();
}

void PreferencesWindowController::showGnomeShortcutsInstalled(bool installed)
{
    m_gnomeInstalled = installed;
    m_gnomeButton->setEnabled(true);
    m_gnomeButton->setText(installed ? QStringLiteral("Remove from GNOME Keyboard Shortcuts")
                                     : QStringLiteral("Add to GNOME Keyboard Shortcuts"));
}

void PreferencesWindowController::toggleGnomeShortcuts()
{
    if (!m_gnome)
        m_gnome = new GnomeCustomShortcuts(this);
    m_gnomeButton->setEnabled(false);
    const bool removing = m_gnomeInstalled;
    const auto done = [this, removing](const QString& error) {
        if (error.isEmpty()) {
            logLine(removing ? QStringLiteral("Removed the Parcly Lite entries from GNOME's custom shortcuts")
                             : QStringLiteral("Added the Parcly Lite entries to GNOME's custom shortcuts"));
            m_message->hide();
            showGnomeShortcutsInstalled(!removing);
        } else {
            logLine(QStringLiteral("GNOME custom shortcuts: %1").arg(error));
            m_message->setText(removing ? QStringLiteral("The shortcuts could not be removed from GNOME: %1").arg(error)
                                        : QStringLiteral("The shortcuts could not be added to GNOME: %1").arg(error));
            m_message->show();
            showGnomeShortcutsInstalled(removing);
        }
        fitHeight();
    };
    if (removing) {
        QStringList slugs;
        for (int tag : kShortcutTags)
            slugs.append(commandOption(tag).mid(2));
        m_gnome->remove(slugs, done);
        return;
    }
    QList<GnomeCustomShortcuts::Entry> entries;
    for (int tag : kShortcutTags) {
        const ParclyStatusMenu::Shortcut shortcut = ParclyStatusMenu::shortcutForTag(tag);
        const QString binding
            = shortcut.keyCode == 0 ? QString() : DesktopShortcutFormats::gnomeBinding(quint16(shortcut.keyCode), shortcut.modifierFlags);
        entries.append({commandOption(tag).mid(2), QStringLiteral("Parcly Lite: %1").arg(itemName(tag)), commandLineForTag(tag), binding});
    }
    m_gnome->install(entries, done);
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
        m_uploadAllScreenshotsButton->setChecked(
            DefaultsController::sharedUserDefaultsController().valueForKeyPath(kUploadAllScreenshotsKeyPath).toBool());
    };
    show();
    connect(&controller, &DefaultsController::valueChanged, m_uploadAllScreenshotsButton, [show](const QString& key) {
        if (QStringLiteral("values.") + key == kUploadAllScreenshotsKeyPath)
            show();
    });
    connect(m_uploadAllScreenshotsButton, &QCheckBox::toggled, this,
            [](bool on) { DefaultsController::sharedUserDefaultsController().setValueForKeyPath(on, kUploadAllScreenshotsKeyPath); });
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
    m_startAtLogin.setStartAtLogin(on);
}

void PreferencesWindowController::checkForUpdates()
{
    emit updateCheckRequested();
}
