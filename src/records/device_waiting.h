#pragma once

#include "outside/interfaces.h"
#include "records/operator_view.h"

#include <utility>

namespace tallyfold {

// While an operation talks to a terminal, the link's waits report to the view:
// the transfer's progress, and a chance to keep the window alive. The view
// decides how often it answers input; the link never runs the event loop itself.
class DeviceWaiting {
public:
    DeviceWaiting(DeviceLink& device, OperatorView& view) : device_(device) {
        device_.setWaitHandler([&view](qint64 done, qint64 total) {
            view.setProgress(done, total);
            view.keepAlive();
        });
        device_.setCancelCheck([&view] { return view.cancelRequested(); });
        device_.setNoticeHandler([&view](const QString& text) { view.setStatus(text); });
    }
    ~DeviceWaiting() {
        device_.setWaitHandler({});
        device_.setCancelCheck({});
        device_.setNoticeHandler({});
    }
    DeviceWaiting(const DeviceWaiting&) = delete;
    DeviceWaiting& operator=(const DeviceWaiting&) = delete;

private:
    DeviceLink& device_;
};

// Closes the terminal's port however the operation ends, so that an open window
// never keeps a port another program needs.
class PortGuard {
public:
    explicit PortGuard(DeviceLink& device) : device_(&device) {}
    ~PortGuard() { close(); }
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;

    // Closes it at the operation's own step; the guard then has nothing left to undo.
    void close() noexcept {
        if (DeviceLink* device = std::exchange(device_, nullptr)) {
            try {
                device->DestoryPort();
            } catch (...) {
                // A link that cannot close has nothing else to be asked.
            }
        }
    }

private:
    DeviceLink* device_;
};

}  // namespace tallyfold
