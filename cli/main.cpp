#include "CommandLineTool.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("parcly"));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return CommandLineTool().run(arguments);
}
