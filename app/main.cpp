#include "commands.h"
#include "stop_signals.h"

#include <unistd.h>
#include <QCoreApplication>

// Until the handlers are in place a stop signal kills the run with no summary. The program's own
// first entry runs before the initializers of the forty-odd libraries it loads, which take most of
// the milliseconds before main.
[[gnu::used, gnu::section(".preinit_array")]] static void (*const installFirst)() = tallyfold::installStopSignals;

int main(int argc, char** argv) {
    tallyfold::installStopSignals();  // again, harmless, where the entry above is not run
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
