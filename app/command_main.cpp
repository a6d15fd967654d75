#include "command_main.h"
#include "commands.h"
#include "stop_signals.h"

#include <unistd.h>
#include <QCoreApplication>

int tallyfold_command_main(int argc, char** argv) {
    // First: a stop signal held pending since the program started finds its handler here.
    tallyfold::installStopSignals();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QCoreApplication app(argc, argv);
    // The host-folder lock names its holder by this, and holds only while it matches the program's file name.
    QCoreApplication::setApplicationName(QStringLiteral("tallyfold"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    tallyfold::Console console(out, err);
    console.progressShown = isatty(STDERR_FILENO) == 1;
    console.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    const int status = tallyfold::runCommandLine(args, console);
    out.flush();
    err.flush();
    return status;
}
