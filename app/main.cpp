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
    if (args.contains(QStringLiteral("show"))) {
        // Without a display Qt would abort; say what is missing instead.
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
            qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            std::fputs(
                "tallyfold: show needs a display (DISPLAY is not set); try: xvfb-run -a tallyfold show "
                "--screenshot window.png\n",
                stderr);
            return 1;
        }
        app = std::make_unique<QApplication>(argc, argv);
    } else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tallyfold"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = tallyfold::runCommandLine(args, out, err);
    out.flush();
    err.flush();
    return status;
}
