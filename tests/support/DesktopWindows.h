#pragma once

// Looking at and acting on the windows of a private X display, as a user would: through the
// window tree (xwininfo) and xdotool.
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

// Runs a short command and returns what it printed.
inline QString runCommand(const QString& program, const QStringList& arguments, int timeoutMs = 10000)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(timeoutMs);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

inline void xdotool(const QStringList& arguments)
{
    QProcess::execute(QStringLiteral("xdotool"), arguments);
}

inline QRect windowGeometry(const QString& id)
{
    const QString info = runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
    auto field = [&info](const char* name) {
        return QRegularExpression(QStringLiteral("%1:\\s+(-?\\d+)").arg(QLatin1String(name))).match(info).captured(1).toInt();
    };
    return {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
}

inline QPoint windowCentre(const QString& id)
{
    return windowGeometry(id).center();
}

// The mapped top-level windows with this title, read from the window tree, which lists a menu's
// override-redirect window too (xdotool's search does not). Qt creates some windows before showing
// them and keeps a closed menu's window, hence "mapped". A tray icon's small window is a top-level
// window of the app's title for a moment, until the tray takes it in: it is never one looked for.
inline QStringList findWindows(const QString& title)
{
    const QString tree = runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
    const QRegularExpression entry(QStringLiteral("^\\s*(0x[0-9a-f]+) \"%1\":").arg(QRegularExpression::escape(title)),
                                   QRegularExpression::MultilineOption);
    QStringList mapped;
    for (auto match = entry.globalMatch(tree); match.hasNext();) {
        const QString id = match.next().captured(1);
        const QString info = runCommand(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
        const QRect geometry = windowGeometry(id);
        if (info.contains(QStringLiteral("IsViewable")) && (geometry.width() > 32 || geometry.height() > 32))
            mapped.append(id);
    }
    return mapped;
}

inline QString findWindow(const QString& title)
{
    const QStringList mapped = findWindows(title);
    return mapped.isEmpty() ? QString() : mapped.first();
}

inline QString waitForWindow(const QString& title, int timeoutMs = 20000)
{
    QString id;
    (void)QTest::qWaitFor([&] { return !(id = findWindow(title)).isEmpty(); }, timeoutMs);
    return id;
}

// Presses at `from`, moves in steps a drag source and target notice, and releases at `to`.
inline void dragWithMouse(const QPoint& from, const QPoint& to)
{
    xdotool({"mousemove",
             QString::number(from.x()),
             QString::number(from.y()),
             "mousedown",
             "1",
             "mousemove",
             QString::number(from.x() + 20),
             QString::number(from.y() + 20),
             "sleep",
             "0.3",
             "mousemove",
             QString::number(to.x() - 5),
             QString::number(to.y() - 5),
             "sleep",
             "0.3",
             "mousemove",
             QString::number(to.x()),
             QString::number(to.y()),
             "sleep",
             "0.3",
             "mouseup",
             "1"});
}
