#pragma once

#include <QString>
#include <QStringList>

// The status menu's actions as options of parcly-lite (`--share-file`, `--capture-region`,
// `--capture-window`): what a desktop's own custom shortcut runs where the app cannot grab keys
// (a Wayland session). A running app gets them over the single-instance channel beside URLs;
// they travel as the option itself, which no URL can be, so a web page cannot start a capture.
namespace AppActions {

// Four-character codes of the event that carries an action to the app delegate.
inline constexpr quint32 kActionEventClass = 0x50524C59; // 'PRLY'
inline constexpr quint32 kAEPerformAction = 0x41435449; // 'ACTI'

// What the command line asks for.
struct Arguments {
    QStringList actions; // "--capture-region", ... in the order given
    QStringList urls; // everything else that is not an option for the toolkit
    bool help = false;
    QString unknownOption; // the first option that is neither an action nor the toolkit's
};

Arguments parse(int argc, const char* const* argv);

// True for "--share-file", "--capture-region" and "--capture-window".
bool isAction(const QString& text);

// The --help text.
QString usage();

} // namespace AppActions
