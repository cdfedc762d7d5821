// `parcly` with service limits a test can wait for: an account request may take 1.5 s, an
// upload that moves less than 1 KiB/s for 1 s has stalled.
#include "app/service/API.h"
#include "cli/CommandLineTool.h"

#include <QCoreApplication>

using namespace std::chrono_literals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("parcly"));
    API::setLimits({.accountDeadline = 1500ms, .uploadMinimumBytesPerSecond = 1024, .uploadSlowPeriod = 1s});
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return CommandLineTool().run(arguments);
}
