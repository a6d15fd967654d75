#pragma once

#include "outside/interfaces.h"
#include "outside/serial/port_map.h"

#include <QByteArray>
#include <QString>
#include <memory>

namespace tallyfold::serial {

// Waits are cut into slices this long so the caller hears from the link between them.
constexpr int kRepaintSliceMs = 50;

// What the link's caller asked to hear while a call waits on the line (a
// transfer at 9600 baud takes minutes): how far it is, so a window stays
// painted and shows progress, and whether the call is to stop.
struct WaitReport {
    DeviceLink::WaitHandler handler;
    DeviceLink::CancelCheck cancelCheck;
    qint64 done = 0;
    qint64 total = 0;
    // Set once the check said true; cleared when the next call begins.
    bool stopping = false;

    void operator()() {
        if (handler)
            handler(done, total);
        stopAsked();
    }
    bool stopAsked() {
        if (!stopping && cancelCheck && cancelCheck())
            stopping = true;
        return stopping;
    }
};
using WaitReportPtr = std::shared_ptr<WaitReport>;

// Bytes to and from the terminals' line, through a local serial device or a
// device server on the network. The framed protocol talks only to this. Every
// call returns within the time it is given.
class Transport {
public:
    enum class Wait { Data, Quiet, Lost };

    virtual ~Transport() = default;

    // Opens the line and sets it to the port's baud rate, 8N1; false with
    // failureCode() and failureReason() telling why.
    virtual bool open(int timeoutMs) = 0;
    virtual void close() = 0;
    // Hands every byte to the line; false when that fails or does not finish in time.
    virtual bool write(const QByteArray& bytes, int timeoutMs) = 0;
    // Waits at most timeoutMs for bytes from the line. Data also when bytes
    // wait already; Lost only once every byte received has been taken.
    virtual Wait waitForData(int timeoutMs) = 0;
    // The same when the caller can do nothing with fewer than `wanted` bytes: a transport may
    // sleep until that many have come rather than wake for each piece. What came short of it
    // by the timeout is Data as ever (a shorter answer, a refusal).
    virtual Wait waitForBytes(int timeoutMs, qsizetype wanted) {
        Q_UNUSED(wanted);
        return waitForData(timeoutMs);
    }
    // The terminals' bytes received since the last call, network framing taken out.
    virtual QByteArray takeReceived() = 0;
    // Drops everything received and not yet taken.
    virtual void discardInput() = 0;

    DeviceError failureCode() const { return failureCode_; }
    // The OS's or the network library's own words for the last failure.
    QString failureReason() const { return failureReason_; }

protected:
    void setFailure(DeviceError code, const QString& reason) {
        failureCode_ = code;
        failureReason_ = reason;
    }

private:
    DeviceError failureCode_ = DeviceError::None;
    QString failureReason_;
};

std::unique_ptr<Transport> makeSerialTransport(const PortSettings& settings);
std::unique_ptr<Transport> makeNetworkTransport(const PortSettings& settings, WaitReportPtr waiting);
std::unique_ptr<Transport> makeTransport(const PortSettings& settings, WaitReportPtr waiting);

}  // namespace tallyfold::serial
