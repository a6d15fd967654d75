#include "commands.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // Only the window needs a GUI application; the other commands run without a display.
    std::unique_ptr<QCoreApplication> app;
    if (args.contains(QStringLiteral("show")))
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tallyfold"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = tallyfold::runCommandLine(args, out, err);
    out.flush();
    err.flush();
    return status;
}
