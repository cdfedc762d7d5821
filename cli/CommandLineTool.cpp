#include "CommandLineTool.h"

#include "ProgressBar.h"
#include "TerminalText.h"

#include "app/service/API.h"
#include "app/service/AccountSetup.h"
#include "app/service/DropRecord.h"
#include "app/service/ServiceConfiguration.h"
#include "app/service/User.h"
#include "platform/Defaults.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "shared/Archiver.h"
#include "shared/ShareableItem.h"
#include "shared/SharedConstants.h"
#include "shared/WorkFolder.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <cstdio>

namespace {

using Outcome = CommandLineTool::Outcome;

// Runs one asynchronous API operation to its completion. The completion may already have run
// when `start` returns (the refusal without credentials), so the loop only runs when needed.
Outcome waitFor(const std::function<void(API::ExplainedCompletion)>& start)
{
    Outcome outcome;
    bool done = false;
    QEventLoop loop;
    start([&](bool success, const QVariant& result, const Error& reason) {
        outcome = {success, result, reason};
        done = true;
        loop.quit();
    });
    if (!done)
        loop.exec();
    return outcome;
}

// For the operations whose failure result is itself the Error (registration, account queries).
API::Completion explaining(API::ExplainedCompletion complete)
{
    return [complete = std::move(complete)](bool success, const QVariant& result) {
        complete(success, result, success ? Error{} : result.value<Error>());
    };
}

// Every line carries text from the service (reason phrases, links) or from file names: none of
// it may drive the terminal.
void printLine(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", TerminalText::printable(text).toLocal8Bit().constData());
    std::fflush(stream);
}

} // namespace

int CommandLineTool::run(const QStringList& arguments)
{
    // The service client's signal for credentials the service no longer knows.
    const ScopedObserver unknownUser(QString::fromLatin1(kUnknownUserAPIErrorNotification),
                                     [this](const Notification&) { m_serviceForgotUser = true; });
    const QString command = arguments.value(0);
    const bool isUpload = command == QLatin1String("upload") && arguments.size() >= 2;
    const bool isDrops = command == QLatin1String("drops") && arguments.size() == 1;
    const bool isList = command == QLatin1String("drops") && arguments.value(1) == QLatin1String("list");
    const bool isDelete = command == QLatin1String("delete") && arguments.size() >= 2;
    const bool isRegister = command == QLatin1String("register") && arguments.size() == 1;
    // Every command stores or reads the account; none may reach the service without a store.
    if ((isUpload || isDrops || isList || isDelete || isRegister) && !settingsUsable())
        return Failure;
    if (isUpload)
        return upload(arguments.mid(1));
    if (isDrops)
        return drops();
    if (isList)
        return listDrops(arguments.mid(2));
    if (isDelete)
        return deleteDrops(arguments.mid(1));
    if (isRegister)
        return registerFreeAccount();
    if (command == QLatin1String("help") || command == QLatin1String("--help") || command == QLatin1String("-h")) {
        printUsage(stdout);
        return Success;
    }
    printUsage(stderr);
    return Usage;
}

std::optional<std::chrono::seconds> CommandLineTool::parseExpiry(const QString& text)
{
    if (text == QLatin1String("never"))
        return std::chrono::seconds(0);
    static const QRegularExpression duration(QStringLiteral("^([0-9]{1,9})([smhdw])$"));
    const QRegularExpressionMatch match = duration.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 count = match.captured(1).toLongLong();
    const qint64 unit = QStringLiteral("smhdw").indexOf(match.captured(2));
    constexpr qint64 kUnitSeconds[] = {1, 60, 3600, 86400, 7 * 86400};
    if (count <= 0)
        return std::nullopt;
    return std::chrono::seconds(count * kUnitSeconds[unit]);
}

int CommandLineTool::upload(const QStringList& arguments)
{
    // Options come first; "--" ends them, for a file whose name starts with "--".
    std::chrono::seconds expiresIn = API::storedDropExpiry();
    QStringList paths = arguments;
    while (!paths.isEmpty() && paths.first().startsWith(QLatin1String("--"))) {
        const QString option = paths.takeFirst();
        if (option == QLatin1String("--"))
            break;
        QString value;
        if (option == QLatin1String("--expires") && paths.size() < 2) {
            // A duration with no file, or a file with no duration.
            printUsage(stderr);
            return Usage;
        }
        if (option == QLatin1String("--expires"))
            value = paths.takeFirst();
        else if (option.startsWith(QLatin1String("--expires=")))
            value = option.section(QLatin1Char('='), 1);
        else {
            // Not an option of ours: a path after all.
            paths.prepend(option);
            break;
        }
        const auto parsed = parseExpiry(value);
        if (!parsed) {
            fail(QStringLiteral("--expires %1: not a duration such as 30m, 1h, 7d or never").arg(value));
            return Usage;
        }
        expiresIn = *parsed;
    }
    if (paths.isEmpty()) {
        printUsage(stderr);
        return Usage;
    }
    QStringList absolutePaths;
    for (const QString& path : paths) {
        const QFileInfo item(path);
        if (!item.exists())
            return fail(QStringLiteral("%1: no such file").arg(path));
        // Before anything opens it: a named pipe would block the open, a device never end.
        if (const QString refusal = ShareableItem::refusal(path); !refusal.isEmpty())
            return fail(refusal);
        if (!item.isReadable())
            return fail(QStringLiteral("%1: permission denied").arg(path));
        // Clean, so that "." or "dir/.." name the folder itself and the archive is named after it.
        const QString absolutePath = QDir::cleanPath(item.absoluteFilePath());
        // Zipping the root would archive the whole file system.
        if (item.canonicalFilePath() == QDir::rootPath())
            return fail(QStringLiteral("%1: the root folder cannot be uploaded; name the files or folders in it").arg(path));
        absolutePaths.append(absolutePath);
    }
    if (!ensureAccount())
        return Failure;
    QString fileToUpload = absolutePaths.first();
    QString archive;
    // As with a drop on the tray icon: one plain file goes as it is, anything else as one zip.
    if (absolutePaths.size() > 1 || QFileInfo(fileToUpload).isDir()) {
        // Quietly: the archiver's own sentence says why, in the one line this command prints.
        const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
        const Archiver::Result zipped = Archiver::makeArchive(absolutePaths);
        if (zipped.archive.isEmpty())
            return fail(zipped.failure.isEmpty() ? QStringLiteral("could not zip %1").arg(paths.join(QStringLiteral(", ")))
                                                 : zipped.failure);
        archive = zipped.archive.toLocalFile();
        fileToUpload = archive;
    }
    const int status = uploadFile(fileToUpload, expiresIn);
    // The archive was only ever a vehicle for the upload; the user's own files are never touched.
    // Quietly: the one line this command prints has been printed.
    if (!archive.isEmpty()) {
        ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
        WorkFolder::removeContaining(archive);
    }
    return status;
}

int CommandLineTool::uploadFile(const QString& path, std::chrono::seconds expiresIn)
{
    const QFileInfo file(path);

    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    ProgressBar bar(stderr);
    API::Progress progress;
    if (bar.visible())
        progress = [&bar](double fraction) { dispatchToMainQueue([&bar, fraction] { bar.update(fraction); }); };
    const Outcome outcome = waitFor([&](API::ExplainedCompletion complete) {
        API::instance().shareFile(QUrl::fromLocalFile(file.absoluteFilePath()), expiresIn, progress, std::move(complete));
    });
    // Progress posted before the completion has been drawn by now; end its line.
    bar.finish();
    if (!outcome.success)
        return fail(failureReason(outcome));
    // A successful upload is a drop whose short link is a web address.
    printLine(stdout, outcome.result.toMap().value(QStringLiteral("shortlink")).toString());
    return Success;
}

int CommandLineTool::drops()
{
    if (!ensureAccount())
        return Failure;
    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    const Outcome outcome
        = waitFor([](API::ExplainedCompletion complete) { API::instance().countDropsComplete(explaining(std::move(complete))); });
    if (!outcome.success)
        return fail(failureReason(outcome));
    printLine(stdout, QString::number(outcome.result.toLongLong()));
    return Success;
}

namespace {

// The JSON for scripts, with nothing in it that a terminal would act on: controls and
// bidirectional marks inside strings are written as \u escapes, which JSON reads back the same.
QByteArray scriptSafeJson(const QJsonDocument& document)
{
    const QString text = QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format || c == QChar(0x2028) || c == QChar(0x2029))
            safe += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            safe += c;
    }
    return safe.toUtf8();
}

} // namespace

int CommandLineTool::listDrops(const QStringList& options)
{
    bool json = false;
    int limit = 20;
    for (qsizetype i = 0; i < options.size(); ++i) {
        const QString& option = options.at(i);
        bool valid = true;
        if (option == QLatin1String("--json"))
            json = true;
        else if (option == QLatin1String("--limit") && i + 1 < options.size())
            limit = options.at(++i).toInt(&valid);
        else if (option.startsWith(QLatin1String("--limit=")))
            limit = option.section(QLatin1Char('='), 1).toInt(&valid);
        else
            valid = false;
        if (!valid || limit < 1 || limit > 100) {
            if (valid)
                fail(QStringLiteral("--limit: the service lists 1 to 100 drops at a time"));
            else
                printUsage(stderr);
            return Usage;
        }
    }
    if (!ensureAccount())
        return Failure;
    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    const Outcome outcome
        = waitFor([limit](API::ExplainedCompletion complete) { API::instance().listDrops(limit, explaining(std::move(complete))); });
    if (!outcome.success)
        return fail(failureReason(outcome));
    const auto drops = outcome.result.value<QList<DropRecord::Drop>>();
    if (json) {
        QJsonArray records;
        for (const DropRecord::Drop& drop : drops)
            records.append(DropRecord::toJson(drop));
        std::fprintf(stdout, "%s\n", scriptSafeJson(QJsonDocument(QJsonObject{{QStringLiteral("drops"), records}})).constData());
        std::fflush(stdout);
        return Success;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const DropRecord::Drop& drop : drops) {
        // Each field on its own: a tab or line break in a title must not make a column of its own.
        QStringList fields{drop.code, DropRecord::shortAge(drop.created, now), DropRecord::sizeText(drop.size), drop.title,
                           drop.shortlink.toString(QUrl::FullyEncoded)};
        for (QString& field : fields)
            field = TerminalText::printable(field);
        std::fprintf(stdout, "%s\n", fields.join(QLatin1Char('\t')).toLocal8Bit().constData());
    }
    std::fflush(stdout);
    return Success;
}

int CommandLineTool::deleteDrops(const QStringList& references)
{
    if (!ensureAccount())
        return Failure;
    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    int status = Success;
    for (const QString& reference : references) {
        const QString code = DropRecord::codeFromReference(reference);
        if (code.isEmpty()) {
            status = fail(QStringLiteral("%1: not a drop's code or link").arg(reference));
            continue;
        }
        const Outcome outcome
            = waitFor([&code](API::ExplainedCompletion complete) { API::instance().deleteDrop(code, explaining(std::move(complete))); });
        if (!outcome.success)
            status = fail(QStringLiteral("%1: %2").arg(code, failureReason(outcome)));
    }
    return status;
}

int CommandLineTool::registerFreeAccount()
{
    if (!registerNewFreeAccount())
        return Failure;
    printLine(stdout, User().email());
    return Success;
}

bool CommandLineTool::ensureAccount()
{
    // Credentials whose registration failed (the service was down at first use, say) get one more try.
    return setUpAccount([](API::Completion complete) { AccountSetup::ensureAccount(std::move(complete)); });
}

bool CommandLineTool::registerNewFreeAccount()
{
    return setUpAccount([](API::Completion complete) { AccountSetup::registerFreeAccount(std::move(complete)); });
}

bool CommandLineTool::setUpAccount(const std::function<void(API::Completion)>& start)
{
    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    const Outcome outcome = waitFor([&start](API::ExplainedCompletion complete) { start(explaining(std::move(complete))); });
    if (!outcome.success) {
        fail(QStringLiteral("could not register a free account: %1").arg(failureReason(outcome)));
        return false;
    }
    return true;
}

bool CommandLineTool::settingsUsable() const
{
    // The store's own log line would be a second line saying less.
    const ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    const Defaults& store = Defaults::standard();
    const QString why = store.unusableReason();
    if (why.isNull())
        return true;
    // Going on would register an account whose credentials are lost at exit, and orphan its drops.
    fail(QStringLiteral("cannot use the settings file %1: %2").arg(store.filePath(), why));
    return false;
}

int CommandLineTool::fail(const QString& reason) const
{
    printLine(stderr, QStringLiteral("parcly: ") + reason);
    return Failure;
}

QString CommandLineTool::failureReason(const Outcome& outcome) const
{
    if (m_serviceForgotUser)
        return QStringLiteral("the service does not know this account; run 'parcly register' for a new free account");
    // The client's own refusal, not a proxy's HTTP 407.
    if (outcome.reason.code == API::kUserNotInitializedCode && outcome.reason.domain == QString::fromLatin1(kMainAppBundleID))
        return QStringLiteral("no account is stored; run 'parcly register'");
    if (!outcome.reason.localizedDescription.isEmpty())
        return outcome.reason.localizedDescription;
    return QStringLiteral("the service at %1 did not answer").arg(ServiceConfiguration::apiBaseURL());
}

void CommandLineTool::printUsage(std::FILE* stream) const
{
    std::fprintf(stream,
                 "usage: parcly upload [--expires DURATION] PATH...\n"
                 "                   upload PATH as a drop and print its short link; a folder, or\n"
                 "                   several files and folders, go as one zip. The drop is deleted\n"
                 "                   DURATION (30m, 1h, 7d, 2w or never) after the upload; without\n"
                 "                   --expires, as Parcly Lite's preferences say\n"
                 "       parcly drops\n"
                 "                   print how many drops the account holds\n"
                 "       parcly drops list [--json] [--limit N]\n"
                 "                   print the newest N drops (20; at most 100): code, age, size,\n"
                 "                   title and link, tab-separated, or as JSON\n"
                 "       parcly delete CODE|LINK...\n"
                 "                   delete drops, named by code or short link\n"
                 "       parcly register\n"
                 "                   make and register a new free account\n"
                 "\n"
                 "The account and the service URL are those of Parcly Lite, in\n"
                 "%s\n",
                 qPrintable(Defaults::standardFilePath()));
}
