#include "platform/GnomeCustomShortcuts.h"

#include <QProcess>

namespace {

const QString kSchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kListKey = QStringLiteral("custom-keybindings");
const QString kEntrySchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding");
const QString kFolder = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/");

QString quoted(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

} // namespace

GnomeCustomShortcuts::GnomeCustomShortcuts(QObject* parent)
    : QObject(parent)
{
}

QString GnomeCustomShortcuts::pathForSlug(const QString& slug)
{
    return kFolder + QStringLiteral("parcly-") + slug + QLatin1Char('/');
}

QStringList GnomeCustomShortcuts::parseStringArray(const QString& text)
{
    // GVariant text quotes a string with ' or, when it holds a ', with "; a backslash escapes
    // the next character.
    QStringList items;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar quote = text.at(i);
        if (quote != QLatin1Char('\'') && quote != QLatin1Char('"'))
            continue;
        QString value;
        for (++i; i < text.size() && text.at(i) != quote; ++i) {
            if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size())
                ++i;
            value += text.at(i);
        }
        items.append(value);
    }
    return items;
}

QString GnomeCustomShortcuts::formatStringArray(const QStringList& items)
{
    if (items.isEmpty())
        return QStringLiteral("@as []");
    QStringList parts;
    for (const QString& value : items)
        parts.append(quoted(value));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

void GnomeCustomShortcuts::run(const QStringList& arguments, std::function<void(bool ok, const QString& output)> done)
{
    auto* process = new QProcess(this);
    process->setProgram(QStringLiteral("gsettings"));
    process->setArguments(arguments);
    connect(process, &QProcess::finished, this, [process, done](int exitCode, QProcess::ExitStatus status) {
        process->deleteLater();
        const bool ok = status == QProcess::NormalExit && exitCode == 0;
        done(ok,
             ok ? QString::fromUtf8(process->readAllStandardOutput()).trimmed()
                : QString::fromUtf8(process->readAllStandardError()).trimmed());
    });
    connect(process, &QProcess::errorOccurred, this, [process, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->deleteLater();
        done(false, QStringLiteral("gsettings could not be started: %1").arg(process->errorString()));
    });
    process->start();
}

void GnomeCustomShortcuts::runAll(QList<QStringList> commands, Completion completion)
{
    if (commands.isEmpty()) {
        completion({});
        return;
    }
    const QStringList next = commands.takeFirst();
    run(next, [this, commands, completion, next](bool ok, const QString& output) {
        if (!ok) {
            completion(QStringLiteral("gsettings %1 failed: %2").arg(next.join(QLatin1Char(' ')), output));
            return;
        }
        runAll(commands, completion);
    });
}

void GnomeCustomShortcuts::readList(std::function<void(const QStringList& paths, const QString& error)> done)
{
    run({QStringLiteral("get"), kSchema, kListKey}, [done](bool ok, const QString& output) {
        if (!ok) {
            done({}, QStringLiteral("could not read GNOME's custom shortcuts: %1").arg(output));
            return;
        }
        done(parseStringArray(output), {});
    });
}

void GnomeCustomShortcuts::isInstalled(const QStringList& slugs, std::function<void(bool installed, const QString& error)> completion)
{
    readList([slugs, completion](const QStringList& paths, const QString& error) {
        bool all = error.isEmpty() && !slugs.isEmpty();
        for (const QString& slug : slugs)
            all = all && paths.contains(pathForSlug(slug));
        completion(all, error);
    });
}

void GnomeCustomShortcuts::install(const QList<Entry>& entries, Completion completion)
{
    readList([this, entries, completion](QStringList paths, const QString& error) {
        if (!error.isEmpty()) {
            completion(error);
            return;
        }
        // The entries first, the list last: GNOME never sees a listed entry without its keys.
        QList<QStringList> commands;
        for (const Entry& entry : entries) {
            const QString schema = kEntrySchema + QLatin1Char(':') + pathForSlug(entry.slug);
            commands.append({QStringLiteral("set"), schema, QStringLiteral("name"), quoted(entry.name)});
            commands.append({QStringLiteral("set"), schema, QStringLiteral("command"), quoted(entry.command)});
            commands.append({QStringLiteral("set"), schema, QStringLiteral("binding"), quoted(entry.binding)});
            if (!paths.contains(pathForSlug(entry.slug)))
                paths.append(pathForSlug(entry.slug));
        }
        commands.append({QStringLiteral("set"), kSchema, kListKey, formatStringArray(paths)});
        runAll(commands, completion);
    });
}

void GnomeCustomShortcuts::remove(const QStringList& slugs, Completion completion)
{
    readList([this, slugs, completion](QStringList paths, const QString& error) {
        if (!error.isEmpty()) {
            completion(error);
            return;
        }
        // Out of the list first, so GNOME stops using them before their keys go.
        for (const QString& slug : slugs)
            paths.removeAll(pathForSlug(slug));
        QList<QStringList> commands{{QStringLiteral("set"), kSchema, kListKey, formatStringArray(paths)}};
        for (const QString& slug : slugs)
            commands.append({QStringLiteral("reset-recursively"), kEntrySchema + QLatin1Char(':') + pathForSlug(slug)});
        runAll(commands, completion);
    });
}
