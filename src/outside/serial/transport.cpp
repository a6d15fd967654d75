#include "outside/serial/transport.h"

namespace tallyfold::serial {

std::unique_ptr<Transport> makeTransport(const PortSettings& settings, WaitReportPtr waiting) {
    if (settings.kind == PortKind::Serial)
        return makeSerialTransport(settings);
    return makeNetworkTransport(settings, std::move(waiting));
}

}  // namespace tallyfold::serial
