// bench-archive: zips a folder of many small files and a folder of a few large ones, once with
// Archiver::zipFiles and once with the same zip command typed directly, and prints both times
// and their ratio. The archiver should cost next to nothing on top of zip itself.
//
//   bench-archive [--small-files N] [--large-mib N] [--rounds N]
//       (defaults: 2000 small files of 1 to 8 KiB, four files of 256 MiB, 3 rounds)
//
// Small files hold mildly compressible text (words drawn at random); large files hold
// incompressible bytes, which is also the fastest input for zip -9, so the run stays short.
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "shared/Archiver.h"
#include "shared/WorkFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

class Random {
public:
    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

private:
    quint32 m_state = 2463534242u;
};

bool makeSmallFiles(const QString& folder, int count, Random& random)
{
    static const char* const words[] = {"parcel",     "drop",    "link",  "share", "tray", "folder", "archive", "upload",
                                        "screenshot", "service", "quick", "brown", "fox",  "lazy",   "dog",     "zip"};
    for (int i = 0; i < count; ++i) {
        // A few subfolders, as real folders have.
        const QString dir = QStringLiteral("%1/part-%2").arg(folder).arg(i % 20);
        QDir().mkpath(dir);
        QFile file(QStringLiteral("%1/file-%2.txt").arg(dir).arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const int bytes = 1024 + int(random.next() % (7 * 1024));
        QByteArray text;
        while (text.size() < bytes) {
            text += words[random.next() % std::size(words)];
            text += (random.next() % 12 == 0) ? '\n' : ' ';
        }
        text.truncate(bytes);
        if (file.write(text) != text.size())
            return false;
    }
    return true;
}

bool makeLargeFiles(const QString& folder, int count, qint64 mib, Random& random)
{
    QDir().mkpath(folder);
    QByteArray chunk(kMiB, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        QFile file(QStringLiteral("%1/large-%2.bin").arg(folder).arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (qint64 written = 0; written < mib; ++written) {
            for (qsizetype at = 0; at + 4 <= chunk.size(); at += 4) {
                const quint32 word = random.next();
                std::memcpy(chunk.data() + at, &word, 4);
            }
            if (file.write(chunk) != chunk.size())
                return false;
        }
    }
    return true;
}

// The archiver's own command, typed directly.
double zipSeconds(const QString& folder, const QString& archivePath)
{
    QFile::remove(archivePath);
    QProcess zip;
    zip.setWorkingDirectory(QFileInfo(folder).absolutePath());
    zip.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    zip.start(QStringLiteral("/usr/bin/zip"),
              {QStringLiteral("-r"), QStringLiteral("-y"), QStringLiteral("-9"), QStringLiteral("-x"), QStringLiteral("*.DS_Store"),
               QStringLiteral("-D"), archivePath, QStringLiteral("./") + QFileInfo(folder).fileName()});
    zip.waitForFinished(-1);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (zip.exitStatus() != QProcess::NormalExit || zip.exitCode() != 0) {
        std::fprintf(stderr, "bench-archive: zip failed with %d\n", zip.exitCode());
        return -1;
    }
    return seconds;
}

// Includes the archiver's own walk through the folder, which checks every item before zip runs.
double archiverSeconds(const QString& folder)
{
    QElapsedTimer timer;
    timer.start();
    QString failure;
    const QUrl archive = Archiver::zipFiles({folder}, &failure);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!QFileInfo(archive.toLocalFile()).isFile()) {
        std::fprintf(stderr, "bench-archive: the archiver wrote no archive: %s\n", qPrintable(failure));
        return -1;
    }
    // Each archive has a work folder of its own; done with it, as the app is after the upload.
    WorkFolder::removeContaining(archive.toLocalFile());
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Interleaves the two, so that drifts in machine load hit both alike. Returns archiver / zip.
double compare(const char* label, const QString& folder, const QString& directArchive, int rounds)
{
    std::vector<double> archiver, direct;
    archiverSeconds(folder); // warms the page cache and the tool
    for (int round = 0; round < rounds; ++round) {
        // Who goes first changes every round, so neither always meets the warmer machine.
        if (round % 2 == 0) {
            direct.push_back(zipSeconds(folder, directArchive));
            archiver.push_back(archiverSeconds(folder));
        } else {
            archiver.push_back(archiverSeconds(folder));
            direct.push_back(zipSeconds(folder, directArchive));
        }
        if (direct.back() < 0 || archiver.back() < 0)
            return -1;
    }
    const double a = median(archiver), z = median(direct);
    std::printf("%-6s archiver %8.3f s   zip %8.3f s   ratio %.3f   (median of %d)\n", label, a, z, a / z, rounds);
    std::fflush(stdout);
    return a / z;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int smallFiles = 2000;
    qint64 largeMiB = 256;
    int rounds = 3;
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--small-files"))
            smallFiles = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--large-mib"))
            largeMiB = arguments[i + 1].toLongLong();
        else if (arguments[i] == QLatin1String("--rounds"))
            rounds = std::max(1, arguments[i + 1].toInt());
    }

    // Quiet: every zip run logs a line.
    ScopedLogCapture quiet(ScopedLogCapture::Echo::Off);
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench-archive-XXXXXX"));
    if (!work.isValid() || temporaryDirectory().isEmpty()) {
        std::fprintf(stderr, "bench-archive: no temporary folder\n");
        return 1;
    }
    Random random;
    const QString small = work.path() + QStringLiteral("/small");
    const QString large = work.path() + QStringLiteral("/large");
    std::printf("making %d small files and 4 files of %lld MiB in %s\n", smallFiles, largeMiB, qPrintable(work.path()));
    std::fflush(stdout);
    if (!makeSmallFiles(small, smallFiles, random) || !makeLargeFiles(large, 4, largeMiB, random)) {
        std::fprintf(stderr, "bench-archive: cannot write the sample files\n");
        return 1;
    }

    const double ratioSmall = compare("small", small, work.path() + QStringLiteral("/direct-small.zip"), rounds);
    const double ratioLarge = compare("large", large, work.path() + QStringLiteral("/direct-large.zip"), std::min(rounds, 2));
    if (ratioSmall < 0 || ratioLarge < 0)
        return 1;
    std::printf("RESULT ratio_small=%.3f ratio_large=%.3f\n", ratioSmall, ratioLarge);
    return 0;
}
