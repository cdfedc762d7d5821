#include "platform/LoginItems.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kDesktopSuffix = QStringLiteral(".desktop");

QString autostartFolder()
{
    // As the desktop reads it: a relative or empty $XDG_CONFIG_HOME is ignored.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty())
            return {};
        config = home + QStringLiteral("/.config");
    }
    return QDir::cleanPath(config + QStringLiteral("/autostart"));
}

// String values of a desktop entry: \s \n \t \r \\ stand for space, newline, tab, return, backslash.
QString unescapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out.append(c);
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out.append(QLatin1Char(' '));
            break;
        case 'n':
            out.append(QLatin1Char('\n'));
            break;
        case 't':
            out.append(QLatin1Char('\t'));
            break;
        case 'r':
            out.append(QLatin1Char('\r'));
            break;
        case '\\':
            out.append(QLatin1Char('\\'));
            break;
        default:
            out.append(c).append(next);
            break;
        }
    }
    return out;
}

QString escapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            out.append(QLatin1String("\\\\"));
            break;
        case '\n':
            out.append(QLatin1String("\\n"));
            break;
        case '\t':
            out.append(QLatin1String("\\t"));
            break;
        case '\r':
            out.append(QLatin1String("\\r"));
            break;
        default:
            out.append(c);
            break;
        }
    }
    // A leading space would be trimmed away by readers.
    if (out.startsWith(QLatin1Char(' ')))
        out.replace(0, 1, QLatin1String("\\s"));
    return out;
}

// The keys of the [Desktop Entry] group; empty when the file has no such group.
QHash<QString, QString> readDesktopEntry(const QString& path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, unescapeValue(line.mid(equals + 1).trimmed()));
    }
    return keys;
}

// The first word of an Exec value (already unescaped as a string): either quoted, where a
// backslash escapes " ` $ and \, or up to the first space. "%%" is a literal percent sign.
QString firstExecWord(const QString& exec)
{
    QString word;
    qsizetype i = 0;
    while (i < exec.size() && exec.at(i) == QLatin1Char(' '))
        ++i;
    if (i < exec.size() && exec.at(i) == QLatin1Char('"')) {
        bool closed = false;
        for (++i; i < exec.size(); ++i) {
            const QChar c = exec.at(i);
            if (c == QLatin1Char('"')) {
                closed = true;
                break;
            }
            if (c == QLatin1Char('\\') && i + 1 < exec.size() && QStringView(u"\"`$\\").contains(exec.at(i + 1)))
                ++i;
            word.append(exec.at(i));
        }
        if (!closed)
            return {};
    } else {
        for (; i < exec.size() && exec.at(i) != QLatin1Char(' '); ++i)
            word.append(exec.at(i));
    }
    word.replace(QLatin1String("%%"), QLatin1String("%"));
    return word;
}

QString quotedExecWord(const QString& word)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : word) {
        if (c == QLatin1Char('%'))
            quoted.append(QLatin1Char('%'));
        else if (QStringView(u"\"`$\\").contains(c))
            quoted.append(QLatin1Char('\\'));
        quoted.append(c);
    }
    return quoted + QLatin1Char('"');
}

bool isPlainDesktopFileName(const QString& fileName)
{
    return fileName.endsWith(kDesktopSuffix) && fileName.size() > kDesktopSuffix.size() && !fileName.contains(QLatin1Char('/'))
        && !fileName.startsWith(QLatin1Char('.'));
}

} // namespace

QString LoginItem::fileName() const
{
    return QFileInfo(filePath).fileName();
}

std::optional<LoginItems> LoginItems::create()
{
    const QString folder = autostartFolder();
    if (folder.isEmpty()) {
        logLine(QStringLiteral("Login items: no home folder, so no autostart folder"));
        return std::nullopt;
    }
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
        logLine(QStringLiteral("Login items: %1 is not a folder").arg(folder));
        return std::nullopt;
    }
    return LoginItems(folder);
}

QList<LoginItem> LoginItems::snapshot() const
{
    QList<LoginItem> items;
    const QDir folder(m_folder);
    const QStringList names = folder.entryList({QLatin1Char('*') + kDesktopSuffix}, QDir::Files, QDir::Name);
    for (const QString& name : names)
        items.append(LoginItem{folder.filePath(name)});
    return items;
}

QString LoginItems::resolve(const LoginItem& item)
{
    const QHash<QString, QString> entry = readDesktopEntry(item.filePath);
    if (entry.value(QStringLiteral("Hidden")) == QLatin1String("true"))
        return {};
    QString program = firstExecWord(entry.value(QStringLiteral("Exec")));
    if (program.isEmpty())
        return {};
    if (!program.contains(QLatin1Char('/')))
        program = QStandardPaths::findExecutable(program);
    else if (QDir::isRelativePath(program))
        return {};
    const QFileInfo info(program);
    if (program.isEmpty() || !info.isFile() || !info.isExecutable())
        return {};
    return info.canonicalFilePath();
}

std::optional<LoginItem> LoginItems::insertItemBeforeFirst(const QString& programPath)
{
    // The desktop starts autostart entries in no set order and the list reads them in file-name
    // order, so "00-" puts ours ahead of the usual entries (named after their programs) without
    // renaming anyone else's file. A taken name, e.g. another copy's entry, gets a number.
    QString base = QFileInfo(programPath).fileName();
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    base.replace(unsafe, QStringLiteral("-"));
    if (base.isEmpty())
        base = QStringLiteral("login-item");
    QString fileName = QStringLiteral("00-%1%2").arg(base, kDesktopSuffix);
    for (int number = 2; QFileInfo::exists(QDir(m_folder).filePath(fileName)); ++number)
        fileName = QStringLiteral("00-%1-%2%3").arg(base).arg(number).arg(kDesktopSuffix);
    return writeItem(fileName, programPath);
}

std::optional<LoginItem> LoginItems::writeItem(const QString& fileName, const QString& programPath, const QString& displayName)
{
    if (!isPlainDesktopFileName(fileName)) {
        logLine(QStringLiteral("Login items: \"%1\" is not a desktop entry name").arg(fileName));
        return std::nullopt;
    }
    if (programPath.isEmpty() || QDir::isRelativePath(programPath)) {
        logLine(QStringLiteral("Login items: \"%1\" is not an absolute program path").arg(programPath));
        return std::nullopt;
    }
    if (!QDir().mkpath(m_folder)) {
        logLine(QStringLiteral("Login items: cannot create %1").arg(m_folder));
        return std::nullopt;
    }
    const QString name = displayName.isEmpty() ? QFileInfo(programPath).fileName() : displayName;
    const QByteArray contents = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
                                    .arg(escapeValue(name), escapeValue(quotedExecWord(programPath)))
                                    .toUtf8();
    const LoginItem item{QDir(m_folder).filePath(fileName)};
    QSaveFile file(item.filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() || !file.commit()) {
        logLine(QStringLiteral("Login items: cannot write %1: %2").arg(item.filePath, file.errorString()));
        return std::nullopt;
    }
    return item;
}

std::optional<LoginItem> LoginItems::itemNamed(const QString& fileName) const
{
    if (!isPlainDesktopFileName(fileName))
        return std::nullopt;
    const LoginItem item{QDir(m_folder).filePath(fileName)};
    if (!QFileInfo(item.filePath).isFile())
        return std::nullopt;
    return item;
}

bool LoginItems::removeItem(const LoginItem& item)
{
    // Only entries of this list: an item is never a way to delete a file elsewhere.
    if (QFileInfo(item.filePath).absolutePath() != QDir(m_folder).absolutePath() || !isPlainDesktopFileName(item.fileName())) {
        logLine(QStringLiteral("Login items: %1 is not an item of %2").arg(item.filePath, m_folder));
        return false;
    }
    QFile file(item.filePath);
    if (!file.remove()) {
        logLine(QStringLiteral("Login items: cannot remove %1: %2").arg(item.filePath, file.errorString()));
        return false;
    }
    return true;
}
