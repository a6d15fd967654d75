#include "outside/serial/transport.h"

#include <QCoreApplication>
#include <QThread>

namespace tallyfold::serial {

void keepWindowsPainted() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

std::unique_ptr<Transport> makeTransport(const PortSettings& settings) {
    if (settings.kind == PortKind::Serial)
        return makeSerialTransport(settings);
    return makeNetworkTransport(settings);
}

}  // namespace tallyfold::serial
