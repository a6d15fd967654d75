#include "outside/serial/serial_device_link.h"

#include "outside/host_folder.h"
#include "outside/serial/device_protocol.h"
#include "outside/serial/port_map.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QSerialPort>
#include <QThread>
#include <cmath>
#include <functional>

namespace tallyfold {

using namespace serial;

namespace {

constexpr int kRetries = 3;
// Covers the terminal's turnaround and the host's scheduling on top of the line time.
constexpr int kTimeoutMarginMs = 300;

std::optional<quint8> machineAddress(qint16 value) {
    if (value < 0 || value > 255)
        return std::nullopt;
    return quint8(value);
}

std::optional<quint8> machineAddress(const Variant& machine) {
    return machineAddress(machine.toInt16());
}

std::optional<int> wholeNumber(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    const double rounded = std::nearbyint(value);
    if (rounded < 0 || rounded > 255)
        return std::nullopt;
    return int(rounded);
}

}  // namespace

class SerialDeviceLink::Bus {
public:
    struct Reply {
        std::optional<Frame> frame;
        QString failure;
        int retries = 0;
    };
    using Check = std::function<bool(const Frame&)>;

    explicit Bus(const PortSettings& settings) : settings_(settings) {}

    bool open() {
        port_.setPortName(settings_.device);
        if (!port_.open(QIODevice::ReadWrite))
            return false;
        const bool configured = port_.setBaudRate(settings_.baudRate) && port_.setDataBits(QSerialPort::Data8) &&
                                port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop) &&
                                port_.setFlowControl(QSerialPort::NoFlowControl);
        if (!configured) {
            port_.close();
            return false;
        }
        port_.clear(QSerialPort::AllDirections);
        return true;
    }

    QString device() const { return settings_.device; }

    // One request, repeated up to kRetries times until the terminal answers with
    // `expected` and the answer passes `check`. A fresh sequence number per attempt
    // keeps a late answer to an earlier attempt from being taken for this one.
    Reply request(quint8 address, Command command, const QByteArray& payload, Command expected, int expectedPayload,
                  const Check& check = {}) {
        Reply reply;
        const int timeoutMs =
            lineTimeMs(frameSize(int(payload.size())) + frameSize(expectedPayload)) + kTimeoutMarginMs;
        for (int attempt = 0; attempt <= kRetries; ++attempt) {
            if (attempt > 0) {
                ++reply.retries;
                discardStaleInput();
            } else {
                port_.clear(QSerialPort::Input);
                port_.readAll();
            }
            const Frame sent{address, ++sequence_, command, payload};
            const QByteArray bytes = encodeFrame(sent);
            if (port_.write(bytes) != bytes.size() || !flush()) {
                reply.failure = QStringLiteral("cannot write to %1").arg(settings_.device);
                return reply;
            }
            const Outcome outcome = awaitReply(sent, expected, check, timeoutMs, reply.frame);
            switch (outcome) {
            case Outcome::Answered:
                return reply;
            case Outcome::LineLost:
                reply.failure = QStringLiteral("lost %1").arg(settings_.device);
                return reply;
            case Outcome::Silent:
                reply.failure = QStringLiteral("terminal %1 did not answer").arg(address);
                break;
            case Outcome::Garbled:
                reply.failure = QStringLiteral("garbled answer from terminal %1").arg(address);
                break;
            case Outcome::Refused:
                reply.failure = QStringLiteral("terminal %1 refused the request").arg(address);
                break;
            }
        }
        return reply;
    }

private:
    enum class Outcome { Answered, Silent, Garbled, Refused, LineLost };

    // A gather at 9600 baud takes minutes: let windows repaint meanwhile, but
    // take no input, so nothing can start while the terminal is talking.
    static constexpr int kRepaintSliceMs = 50;
    static void keepWindowsPainted() {
        QCoreApplication* app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

    int lineTimeMs(int bytes) const {
        return int((qint64(bytes) * 10 * 1000 + settings_.baudRate - 1) / settings_.baudRate);
    }

    bool flush() {
        while (port_.bytesToWrite() > 0) {
            if (!port_.waitForBytesWritten(lineTimeMs(int(port_.bytesToWrite())) + kTimeoutMarginMs))
                return false;
        }
        return true;
    }

    Outcome awaitReply(const Frame& sent, Command expected, const Check& check, int timeoutMs,
                       std::optional<Frame>& answer) {
        FrameDecoder decoder;
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            for (FrameDecoder::Result r = decoder.next(); r.status != FrameDecoder::Status::NeedMore;
                 r = decoder.next()) {
                if (r.status == FrameDecoder::Status::Corrupt)
                    return Outcome::Garbled;
                const Frame& f = r.frame;
                if (f.address != sent.address || f.sequence != sent.sequence)
                    continue;
                if (f.command == Command::Nak)
                    return Outcome::Refused;
                if (f.command != expected)
                    continue;
                if (expected == Command::Ack && f.payload != encodeAck(sent.command))
                    return Outcome::Garbled;
                if (check && !check(f))
                    return Outcome::Garbled;
                answer = f;
                return Outcome::Answered;
            }
            const qint64 remaining = timeoutMs - timer.elapsed();
            if (remaining <= 0)
                return Outcome::Silent;
            if (!port_.waitForReadyRead(int(std::min<qint64>(remaining, kRepaintSliceMs)))) {
                const auto error = port_.error();
                if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError)
                    return Outcome::LineLost;
            }
            keepWindowsPainted();
            decoder.append(port_.readAll());
        }
    }

    // The rest of a broken answer may still be on its way; wait for the line to
    // fall quiet so the retry's answer starts on a clean buffer.
    void discardStaleInput() {
        const int quietMs = std::max(20, lineTimeMs(20));
        const int capMs = lineTimeMs(frameSize(kMaxPayload)) + kTimeoutMarginMs;
        QElapsedTimer timer;
        timer.start();
        port_.readAll();
        while (timer.elapsed() < capMs && port_.waitForReadyRead(quietMs))
            port_.readAll();
        port_.clear(QSerialPort::Input);
        port_.readAll();
    }

    PortSettings settings_;
    QSerialPort port_;
    quint8 sequence_ = 0;
};

SerialDeviceLink::SerialDeviceLink(HostSettings host) : host_(std::move(host)), recordFile_(host_.sourceRecordFile()) {}

bool SerialDeviceLink::setRecordFile(const QString& path) {
    recordFile_ = path;
    return true;
}

SerialDeviceLink::~SerialDeviceLink() = default;

std::optional<bool> SerialDeviceLink::SetPort(const Variant& port) {
    const qint16 number = port.toInt16();
    DestoryPort();
    const std::optional<PortSettings> settings = portSettings(host_, number);
    if (!settings)
        return false;
    auto bus = std::make_unique<Bus>(*settings);
    if (!bus->open())
        return false;
    bus_ = std::move(bus);
    return true;
}

std::optional<bool> SerialDeviceLink::ChangeDate(const Variant& machine, qint16 year, qint16 month, qint16 day) {
    const auto address = machineAddress(machine);
    const QDate date(year, month, day);
    if (!bus_ || !address || !date.isValid() || year < 0)
        return false;
    const auto reply = bus_->request(*address, Command::SetDate, encodeDate(date), Command::Ack, 1);
    return reply.frame.has_value();
}

std::optional<bool> SerialDeviceLink::ChangeTime(const Variant& machine, double hour, double minute, double second) {
    const auto address = machineAddress(machine);
    const auto h = wholeNumber(hour);
    const auto m = wholeNumber(minute);
    const auto s = wholeNumber(second);
    if (!bus_ || !address || !h || !m || !s || !QTime::isValid(*h, *m, *s))
        return false;
    const auto reply = bus_->request(*address, Command::SetTime, encodeTime(QTime(*h, *m, *s)), Command::Ack, 1);
    return reply.frame.has_value();
}

std::optional<bool> SerialDeviceLink::GatherData(qint16 machine, QString& text1, QString& text2) {
    text1.clear();
    text2.clear();
    const auto address = machineAddress(machine);
    if (!bus_) {
        text2 = QStringLiteral("no port open");
        return false;
    }
    if (!address) {
        text2 = QStringLiteral("no terminal %1").arg(machine);
        return false;
    }
    const QString target = recordFile_;
    if (!QFileInfo(target).dir().exists()) {
        text2 = QStringLiteral("the Source folder is missing");
        return false;
    }

    int retries = 0;
    const auto counted = bus_->request(*address, Command::CountRecords, {}, Command::CountReply, 4,
                                       [](const Frame& f) { return decodeCount(f.payload).has_value(); });
    retries += counted.retries;
    if (!counted.frame) {
        text2 = counted.failure;
        return false;
    }
    const quint32 total = *decodeCount(counted.frame->payload);

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        text2 = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    quint32 read = 0;
    auto fail = [&](const QString& why) {
        file.cancelWriting();
        text1 = QStringLiteral("%1 of %2 records read from terminal %3").arg(read).arg(total).arg(*address);
        text2 = why;
        return false;
    };
    while (read < total) {
        const quint16 count = quint16(std::min<quint32>(kMaxRecordsPerBlock, total - read));
        const quint32 index = read;
        const auto block =
            bus_->request(*address, Command::ReadRecords, encodeReadRequest({index, count}), Command::ReadReply,
                          kReadReplyHeader + count * kRecordLength, [index, count](const Frame& f) {
                              const auto decoded = decodeRecordBlock(f.payload);
                              return decoded && decoded->index == index && decoded->records.size() == count;
                          });
        retries += block.retries;
        if (!block.frame)
            return fail(block.failure);
        QByteArray lines;
        lines.reserve(count * (kRecordLength + 2));
        const RecordBlock records = *decodeRecordBlock(block.frame->payload);
        for (const QByteArray& record : records.records)
            lines.append(record).append("\r\n");
        if (file.write(lines) != lines.size())
            return fail(QStringLiteral("cannot write %1").arg(target));
        read += count;
    }
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1").arg(target));
    text1 = QStringLiteral("%1 of %2 records read from terminal %3").arg(read).arg(total).arg(*address);
    text2 = QStringLiteral("%1 retries").arg(retries);
    return true;
}

std::optional<bool> SerialDeviceLink::ClearRecord(const Variant& machine) {
    const auto address = machineAddress(machine);
    if (!bus_ || !address)
        return false;
    const auto reply = bus_->request(*address, Command::ClearRecords, {}, Command::Ack, 1);
    return reply.frame.has_value();
}

void SerialDeviceLink::DestoryPort() {
    bus_.reset();
}

bool SerialDeviceLink::isPortOpen() const {
    return bus_ != nullptr;
}

QString SerialDeviceLink::portDevice() const {
    return bus_ ? bus_->device() : QString();
}

std::unique_ptr<DeviceLink> createSerialDeviceLink(const HostSettings& host) {
    return std::make_unique<SerialDeviceLink>(host);
}

}  // namespace tallyfold
