// tallyfold-show: a small host of the library. It does what any host does
// (a QApplication, KQ::ShowA) so the command itself never links Qt Widgets.
#include "stop_signals.h"

#include <tallyfold/kq.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>

// A stop signal closes every window as "退出" does: a running operation is asked to stop first and
// the window closes once it has. A box waiting for the operator is answered as Escape would, again
// until no window is left, since the operation may ask another before it stops.
static void closeOnStopSignals(QSocketNotifier& stop, QTimer& again) {
    auto closeAll = [] {
        QApplication::closeAllWindows();
        const QWidgetList windows = QApplication::topLevelWidgets();
        if (std::none_of(windows.begin(), windows.end(), [](const QWidget* w) { return w->isVisible(); }))
            QApplication::quit();
    };
    again.setInterval(100);
    QObject::connect(&again, &QTimer::timeout, closeAll);
    QObject::connect(&stop, &QSocketNotifier::activated, [&stop, &again, closeAll] {
        stop.setEnabled(false);
        closeAll();
        again.start();
    });
}

int main(int argc, char** argv) {
    // Before anything that takes time: until then a stop signal kills the window with no operation stopped.
    tallyfold::installStopSignals();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Opens the gathering window as a host does (KQ::ShowA) and runs until it is closed."));
    parser.addHelpOption();
    const QCommandLineOption user(QStringLiteral("user"),
                                  QStringLiteral("The operator whose rights the window checks (default: admin)."),
                                  QStringLiteral("U"), QStringLiteral("admin"));
    const QCommandLineOption caption(
        QStringLiteral("caption"), QStringLiteral("The caption that names the operator's rights (default: 消费管理)."),
        QStringLiteral("C"), QStringLiteral("消费管理"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Save a picture of the window to FILE and close it."),
                                        QStringLiteral("FILE"));
    parser.addOptions({user, caption, screenshot});
    // Help needs no display: answered before the application that would need one.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && parser.isSet(QStringLiteral("help"))) {
        // With no application yet the parser cannot name the program itself.
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                        QStringLiteral("tallyfold-show"))),
                   stdout);
        return 0;
    }
    // Without a display Qt would abort; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs(
            "tallyfold: show needs a display (DISPLAY is not set); try: xvfb-run -a tallyfold show "
            "--screenshot window.png\n",
            stderr);
        return 1;
    }
    QApplication app(argc, argv);
    parser.process(app);
    QSocketNotifier stop(tallyfold::stopSignalFd(), QSocketNotifier::Read);
    QTimer closing;
    closeOnStopSignals(stop, closing);

    tallyfold::KQ kq;
    try {
        kq.ShowA(tallyfold::Variant(parser.value(user)), tallyfold::Variant(QStringLiteral("Tallyfold")),
                 tallyfold::Variant(parser.value(caption)), QDateTime::currentDateTime());
    } catch (const tallyfold::Error& e) {
        std::fprintf(stderr, "tallyfold: %s\n", qPrintable(e.description()));
        return 1;
    }
    int status = 0;
    if (parser.isSet(screenshot)) {
        QTimer::singleShot(800, [&] {
            const QString path = QFileInfo(parser.value(screenshot)).absoluteFilePath();
            QDir().mkpath(QFileInfo(path).absolutePath());
            QWidget* window = QApplication::activeWindow();
            for (QWidget* w : QApplication::topLevelWidgets())
                if (!window && w->isVisible())
                    window = w;
            if (window && window->grab().save(path)) {
                std::printf("screenshot\t%s\n", qPrintable(path));
            } else {
                std::fprintf(stderr, "tallyfold: the screenshot could not be saved to %s\n", qPrintable(path));
                status = 1;
            }
            std::fflush(stdout);
            QApplication::closeAllWindows();
            QApplication::quit();
        });
    }
    const int loop = QApplication::exec();
    if (tallyfold::stopSignal() != 0)
        return 128 + tallyfold::stopSignal();
    return status ? status : loop;
}
