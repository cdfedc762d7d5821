// bench-upload: uploads a large file made on the fly to a loopback sink, once with the service
// client's shareFile and once with the curl command, and prints both throughputs, their ratio,
// the client's peak RSS and how many progress reports arrived.
//
//   bench-upload [--mib N]      (default 1024, i.e. 1 GiB)
#include "SinkServer.h"

#include "app/service/API.h"
#include "app/service/ServiceConfiguration.h"
#include "platform/Defaults.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

bool makeFile(const QString& path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Varied bytes, so nothing along the way can shortcut zeros.
    QByteArray chunk(kMiB, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char& byte : chunk) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state);
    }
    for (qint64 written = 0; written < bytes; written += chunk.size()) {
        if (file.write(chunk.constData(), std::min<qint64>(chunk.size(), bytes - written)) < 0)
            return false;
    }
    return true;
}

double curlSeconds(const QString& path, const QString& url)
{
    QElapsedTimer timer;
    timer.start();
    const int code = QProcess::execute(QStringLiteral("curl"),
                                       {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-X"),
                                        QStringLiteral("POST"), QStringLiteral("-T"), path, url});
    if (code != 0) {
        std::fprintf(stderr, "bench-upload: curl failed with %d\n", code);
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

double clientSeconds(const QString& path, std::atomic<int>& reports)
{
    QEventLoop loop;
    bool ok = false;
    QElapsedTimer timer;
    timer.start();
    API::instance().shareFile(
        QUrl::fromLocalFile(path), [&reports](double) { ++reports; },
        [&](bool success, const QVariant&) {
            ok = success;
            loop.quit();
        });
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!ok) {
        std::fprintf(stderr, "bench-upload: shareFile failed\n");
        return -1;
    }
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    qint64 mib = 1024;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::atoll(argv[i + 1]);
    }
    const SinkServer sink; // forks, so before any thread exists

    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);

    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(sink.port());
    Defaults& defaults = Defaults::standard();
    defaults.setValue(ServiceConfiguration::kAPIURLKey, url);
    defaults.setValue(QStringLiteral("parcly-username"), QStringLiteral("bench@free.parcly.example"));
    defaults.setValue(QStringLiteral("parcly-password"), QStringLiteral("bench"));
    defaults.synchronize();

    const QString path = home.path() + QStringLiteral("/bench.bin");
    const qint64 bytes = mib * kMiB;
    std::printf("file: %lld MiB, sink on %s\n", (long long)mib, qPrintable(url));
    if (!makeFile(path, bytes))
        return 1;

    // Three rounds each, alternating, and the median of each: the best round of a small upload
    // says more about luck than about the client.
    std::vector<double> curlRates, clientRates;
    int reportsPerUpload = 0;
    for (int round = 0; round < 3; ++round) {
        const double curl = curlSeconds(path, url + QStringLiteral("/files"));
        std::atomic<int> reports{0};
        const double client = clientSeconds(path, reports);
        if (curl <= 0 || client <= 0)
            return 1;
        const double curlRate = bytes / kMiB / curl, clientRate = bytes / kMiB / client;
        std::printf("round %d: curl %.1f MiB/s (%.2f s), client %.1f MiB/s (%.2f s), %d progress reports\n", round + 1, curlRate, curl,
                    clientRate, client, reports.load());
        curlRates.push_back(curlRate);
        clientRates.push_back(clientRate);
        reportsPerUpload = reports.load();
    }
    const double medianCurl = median(curlRates), medianClient = median(clientRates);
    const double ratio = medianClient / medianCurl;
    const double rss = peakRssMiB();
    std::printf("median: curl %.1f MiB/s, client %.1f MiB/s, ratio %.3f (target >= 0.9)\n", medianCurl, medianClient, ratio);
    std::printf("client peak RSS %.1f MiB (target < 80)\n", rss);
    std::printf("RESULT ratio=%.3f rss_mib=%.1f reports=%d\n", ratio, rss, reportsPerUpload);
    std::fflush(stdout);
    return 0;
}
