#pragma once

#include "outside/interfaces.h"
#include "records/operator_view.h"

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
    }
    ~DeviceWaiting() { device_.setWaitHandler({}); }
    DeviceWaiting(const DeviceWaiting&) = delete;
    DeviceWaiting& operator=(const DeviceWaiting&) = delete;

private:
    DeviceLink& device_;
};

}  // namespace tallyfold
