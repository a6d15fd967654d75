// Preloaded into the README's host, which runs until the operator closes the window: once the
// window shows its controls it closes it as "退出" would, so the host's exec() returns and the
// host ends as it would for an operator. A box that asks during the load fails the run, naming it.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {
void closeOnceLoaded() {
    auto* tick = new QTimer(qApp);
    QObject::connect(tick, &QTimer::timeout, [] {
        static bool seen = false;
        if (QWidget* box = QApplication::activeModalWidget()) {
            auto* message = qobject_cast<QMessageBox*>(box);
            std::fprintf(stderr, "a box asked: %s\n", qPrintable(message ? message->text() : box->windowTitle()));
            std::fflush(stderr);
            std::_Exit(1);
        }
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->isVisible() && window->findChild<QPushButton*>()) {
                std::printf("closing \"%s\"\n", qPrintable(window->windowTitle()));
                std::fflush(stdout);
                seen = true;
                window->close();
                return;
            }
        // Closed while the host was not yet in its own loop, nothing would end that loop.
        if (seen)
            QApplication::quit();
    });
    tick->start(100);
}
}  // namespace

Q_COREAPP_STARTUP_FUNCTION(closeOnceLoaded)
