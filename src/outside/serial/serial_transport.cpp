#include "outside/serial/transport.h"

#include <QDeadlineTimer>
#include <QSerialPort>

namespace tallyfold::serial {

namespace {

class SerialTransport : public Transport {
public:
    explicit SerialTransport(const PortSettings& settings) : settings_(settings) {}

    bool open(int) override {
        close();
        port_.setPortName(settings_.device);
        if (!port_.open(QIODevice::ReadWrite)) {
            setFailure(DeviceError::PortNotOpened, port_.errorString());
            return false;
        }
        const bool configured = port_.setBaudRate(settings_.baudRate) && port_.setDataBits(QSerialPort::Data8) &&
                                port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop) &&
                                port_.setFlowControl(QSerialPort::NoFlowControl);
        if (!configured) {
            setFailure(DeviceError::PortNotOpened, port_.errorString());
            port_.close();
            return false;
        }
        port_.clear(QSerialPort::AllDirections);
        return true;
    }

    void close() override {
        if (port_.isOpen())
            port_.close();
    }

    bool write(const QByteArray& bytes, int timeoutMs) override {
        port_.clearError();
        if (port_.write(bytes) != bytes.size())
            return lost();
        const QDeadlineTimer deadline(timeoutMs);
        while (port_.bytesToWrite() > 0) {
            if (deadline.hasExpired()) {
                setFailure(DeviceError::ConnectionDropped,
                           QStringLiteral("the line took no data for %1 ms").arg(timeoutMs));
                return false;
            }
            if (!port_.waitForBytesWritten(int(deadline.remainingTime())) && failed())
                return lost();
        }
        return true;
    }

    Wait waitForData(int timeoutMs) override {
        if (port_.bytesAvailable() > 0)
            return Wait::Data;
        port_.clearError();
        if (port_.waitForReadyRead(timeoutMs))
            return Wait::Data;
        if (failed()) {
            lost();
            return Wait::Lost;
        }
        return Wait::Quiet;
    }

    QByteArray takeReceived() override { return port_.readAll(); }

    void discardInput() override {
        port_.clear(QSerialPort::Input);
        port_.readAll();
    }

private:
    bool failed() const { return port_.error() != QSerialPort::NoError && port_.error() != QSerialPort::TimeoutError; }

    bool lost() {
        setFailure(DeviceError::ConnectionDropped, port_.errorString());
        return false;
    }

    PortSettings settings_;
    QSerialPort port_;
};

}  // namespace

std::unique_ptr<Transport> makeSerialTransport(const PortSettings& settings) {
    return std::make_unique<SerialTransport>(settings);
}

}  // namespace tallyfold::serial
