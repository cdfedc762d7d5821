#include "app/lifecycle/AppActions.h"

#include <QSet>

namespace {

const QStringList kActions = {
    QStringLiteral("--share-file"),
    QStringLiteral("--capture-region"),
    QStringLiteral("--capture-window"),
};

// The toolkit's own options (also written with two dashes), and whether they take a value, which
// is then no URL.
bool isToolkitOption(const QString& option, bool* takesValue)
{
    static const QSet<QString> withValue = {
        QStringLiteral("platform"),
        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),
        QStringLiteral("plugin"),
        QStringLiteral("display"),
        QStringLiteral("style"),
        QStringLiteral("stylesheet"),
        QStringLiteral("session"),
        QStringLiteral("qwindowgeometry"),
        QStringLiteral("qwindowtitle"),
        QStringLiteral("qwindowicon"),
        QStringLiteral("geometry"),
        QStringLiteral("name"),
        QStringLiteral("title"),
    };
    static const QSet<QString> flags = {
        QStringLiteral("reverse"), QStringLiteral("nograb"),      QStringLiteral("dograb"),
        QStringLiteral("sync"),    QStringLiteral("widgetcount"),
    };
    QString name = option.mid(option.startsWith(QLatin1String("--")) ? 2 : 1);
    if (const qsizetype equals = name.indexOf(QLatin1Char('=')); equals >= 0) {
        name.truncate(equals);
        *takesValue = false;
        return withValue.contains(name);
    }
    *takesValue = withValue.contains(name);
    return *takesValue || flags.contains(name);
}

} // namespace

namespace AppActions {

Arguments parse(int argc, const char* const* argv)
{
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (!argument.startsWith(QLatin1Char('-'))) {
            // The desktop passes URLs this way (Exec=parcly-lite %u).
            arguments.urls.append(argument);
            continue;
        }
        if (isAction(argument)) {
            arguments.actions.append(argument);
            continue;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            arguments.help = true;
            continue;
        }
        bool takesValue = false;
        if (isToolkitOption(argument, &takesValue)) {
            if (takesValue)
                ++i;
            continue;
        }
        if (arguments.unknownOption.isEmpty())
            arguments.unknownOption = argument;
    }
    return arguments;
}

bool isAction(const QString& text)
{
    return kActions.contains(text);
}

QString usage()
{
    return QStringLiteral("Usage: parcly-lite [ACTION] [parcly-lite:URL]\n"
                          "Starts Parcly Lite in the tray, or hands the action or URL to the one already running.\n"
                          "\n"
                          "Actions, as in the app's menu (for a desktop's own keyboard shortcuts):\n"
                          "  --share-file      share a file: open the share window\n"
                          "  --capture-region  capture a region of the screen and share it\n"
                          "  --capture-window  capture a window and share it\n"
                          "  --help            show this help\n");
}

} // namespace AppActions
