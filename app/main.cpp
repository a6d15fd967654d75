#include "commands.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tallyfold"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = tallyfold::runCommandLine(args, out, err);
    out.flush();
    err.flush();
    return status;
}
