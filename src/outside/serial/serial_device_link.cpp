#include "outside/serial/serial_device_link.h"

#include "outside/port_claim.h"

#include "outside/host_folder.h"
#include "outside/serial/device_protocol.h"
#include "outside/serial/port_map.h"
#include "outside/serial/transport.h"
#include "platform/durable_file.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cmath>
#include <deque>
#include <functional>

namespace tallyfold {

using namespace serial;

namespace {

constexpr int kRetries = 3;
// Covers the terminal's turnaround and the host's scheduling on top of the line time.
constexpr int kTimeoutMarginMs = 300;
constexpr int kConnectTimeoutMs = 3000;

// How long an operation waits for the follower to hand over a port: a round and a long backlog's transfer.
constexpr int kBorrowBoundMs = 180'000;

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

// A failed request as the log says it: "terminal 3 did not answer".
QString requestFailure(DeviceError code, int address) {
    switch (code) {
    case DeviceError::NoAnswer:
        return QStringLiteral("terminal %1 did not answer").arg(address);
    case DeviceError::Garbled:
        return QStringLiteral("garbled answers from terminal %1").arg(address);
    case DeviceError::TerminalRefused:
        return QStringLiteral("terminal %1 refused the request").arg(address);
    case DeviceError::Cancelled:
        return QStringLiteral("stopped while talking to terminal %1").arg(address);
    default:
        return QStringLiteral("the line to terminal %1 fell").arg(address);
    }
}

}  // namespace

class SerialDeviceLink::Bus {
public:
    struct Reply {
        std::optional<Frame> frame;
        DeviceError error = DeviceError::None;
        QString osReason;
        int retries = 0;
    };
    using Check = std::function<bool(const Frame&)>;

    Bus(const PortSettings& settings, WaitReportPtr waiting)
        : settings_(settings), waiting_(waiting), transport_(makeTransport(settings, std::move(waiting))) {}

    bool open() { return transport_->open(connectTimeoutMs()); }
    DeviceError openError() const { return transport_->failureCode(); }
    QString openReason() const { return transport_->failureReason(); }
    QString device() const { return settings_.device; }
    int transferRetries() const { return settings_.transferRetries; }

    // Each member call of the link, and each new try of a transfer, may reopen a fallen line once.
    void beginCall() { reopenLeft_ = true; }

    // One request, repeated up to kRetries times until the terminal answers with
    // `expected` and the answer passes `check`. A fresh sequence number per attempt
    // keeps a late answer to an earlier attempt from being taken for this one.
    // `firstAttempt` 1: an attempt made elsewhere failed already and counts as the first.
    Reply request(quint8 address, Command command, const QByteArray& payload, Command expected, int expectedPayload,
                  const Check& check = {}, int firstAttempt = 0) {
        Reply reply;
        const int timeoutMs =
            lineTimeMs(frameSize(int(payload.size())) + frameSize(expectedPayload, isWide(expected))) + marginMs();
        for (int attempt = firstAttempt; attempt <= kRetries;) {
            if (waiting_->stopAsked()) {
                reply.error = DeviceError::Cancelled;
                return reply;
            }
            if (attempt > 0) {
                ++reply.retries;
                discardStaleInput();
            } else {
                transport_->discardInput();
                decoder_.clear();
            }
            const Frame sent{address, ++sequence_, command, payload};
            const QByteArray bytes = encodeFrame(sent);
            std::optional<Frame> answer;
            const Outcome outcome = transport_->write(bytes, lineTimeMs(int(bytes.size())) + marginMs())
                                        ? awaitReply(sent, expected, check, timeoutMs, answer)
                                        : Outcome::LineLost;
            switch (outcome) {
            case Outcome::Answered:
                reply.frame = answer;
                reply.error = DeviceError::None;
                return reply;
            case Outcome::Cancelled:
                reply.error = DeviceError::Cancelled;
                return reply;
            case Outcome::LineLost:
                // The same attempt again on the reopened line; a stop may have broken off the write or the reopen.
                if (!waiting_->stopping && reopen(reply))
                    continue;
                if (waiting_->stopping)
                    reply = {std::nullopt, DeviceError::Cancelled, {}, reply.retries};
                return reply;
            case Outcome::Silent:
                reply.error = DeviceError::NoAnswer;
                break;
            case Outcome::Garbled:
                reply.error = DeviceError::Garbled;
                break;
            case Outcome::Refused:
                reply.error = DeviceError::TerminalRefused;
                break;
            }
            ++attempt;
        }
        return reply;
    }

    // Reads records first..first+count-1 in order and hands each block to `take` (false: stop, nothing
    // more is asked). The next request goes out while an answer is still arriving, kReadAhead in flight,
    // so the terminal starts each answer as the last one ends; blocks are wide, or long or short on a
    // terminal that refuses the wider reads. A block that fails is asked for again on its own, with request()'s
    // retries, and the read ahead starts over behind it. `reply.retries` counts every block's.
    Reply readRecords(quint8 address, bool numbered, quint32 first, quint32 count,
                      const std::function<bool(const RecordBlock&)>& take) {
        Reply reply;
        struct Asked {
            Frame sent;
            quint32 index;
            quint16 count;
        };
        std::deque<Asked> inFlight;
        quint32 done = 0;
        quint32 asked = 0;
        auto check = [](quint32 index, quint16 n) {
            return [index, n](const Frame& f) {
                const auto decoded = decodeRecordBlock(f.payload);
                return decoded && decoded->index == index && decoded->records.size() == n;
            };
        };
        transport_->discardInput();
        decoder_.clear();
        while (done < count) {
            if (waiting_->stopAsked()) {
                reply.error = DeviceError::Cancelled;
                return reply;
            }
            const Width width = width_;
            const Command command = readCommand(width, numbered);
            const Command expected = width == Width::Wide ? (numbered ? Command::NumberedWideReply : Command::WideReply)
                                                          : (numbered ? Command::NumberedReply : Command::ReadReply);
            const quint32 blockMost = width == Width::Wide   ? kMaxRecordsPerWideBlock
                                      : width == Width::Long ? kMaxRecordsPerLongBlock
                                                             : kMaxRecordsPerBlock;
            bool lost = false;
            while (inFlight.size() < kReadAhead && asked < count) {
                const auto n = quint16(std::min<quint32>(blockMost, count - asked));
                const Frame sent{address, ++sequence_, command, encodeReadRequest({first + asked, n})};
                const QByteArray bytes = encodeFrame(sent);
                if (!transport_->write(bytes, lineTimeMs(int(bytes.size())) + marginMs())) {
                    lost = true;
                    break;
                }
                inFlight.push_back({sent, first + asked, n});
                asked += n;
            }
            if (inFlight.empty()) {
                lost = true;
            } else {
                const Asked& next = inFlight.front();
                const int payload = kReadReplyHeader + next.count * kRecordLength;
                const int timeoutMs =
                    lineTimeMs(frameSize(kReadRequestPayload) + frameSize(payload, isWide(expected))) + marginMs();
                std::optional<Frame> answer;
                const Outcome outcome =
                    lost ? Outcome::LineLost
                         : awaitReply(next.sent, expected, check(next.index, next.count), timeoutMs, answer);
                if (outcome == Outcome::Answered) {
                    if (!take(*decodeRecordBlock(answer->payload)))
                        return reply;
                    done += next.count;
                    inFlight.pop_front();
                    continue;
                }
                if (outcome == Outcome::Cancelled) {
                    reply.error = DeviceError::Cancelled;
                    return reply;
                }
                if (outcome == Outcome::Refused && width != Width::Short && answer &&
                    answer->payload == encodeNak(command, NakReason::BadRequest)) {
                    // An older terminal: the next narrower reads from here on, no retry spent.
                    width_ = width == Width::Wide ? Width::Long : Width::Short;
                    inFlight.clear();
                    asked = done;
                    discardStaleInput();
                    continue;
                }
                lost = outcome == Outcome::LineLost;
            }
            // The answers read ahead behind a failed one are given up with it.
            const quint32 index = first + done;
            const auto n =
                quint16(inFlight.empty() ? std::min<quint32>(blockMost, count - done) : inFlight.front().count);
            inFlight.clear();
            const Reply one = request(address, command, encodeReadRequest({index, n}), expected,
                                      kReadReplyHeader + n * kRecordLength, check(index, n), lost ? 0 : 1);
            reply.retries += one.retries;
            if (!one.frame) {
                reply.error = one.error;
                reply.osReason = one.osReason;
                return reply;
            }
            if (!take(*decodeRecordBlock(one.frame->payload)))
                return reply;
            done += n;
            asked = done;
        }
        return reply;
    }

private:
    enum class Outcome { Answered, Silent, Garbled, Refused, LineLost, Cancelled };
    enum class Width { Wide, Long, Short };

    static Command readCommand(Width width, bool numbered) {
        switch (width) {
        case Width::Wide:
            return numbered ? Command::ReadNumberedWide : Command::ReadWide;
        case Width::Long:
            return numbered ? Command::ReadNumberedLong : Command::ReadLong;
        default:
            return numbered ? Command::ReadNumbered : Command::ReadRecords;
        }
    }
    // One answer arriving and the next request waiting at the terminal leave the line no idle time.
    static constexpr std::size_t kReadAhead = 2;

    // A device server may sit behind a slow network: its latency counts on top of line time.
    int marginMs() const { return kTimeoutMarginMs + settings_.latencyMs; }
    int connectTimeoutMs() const { return kConnectTimeoutMs + settings_.latencyMs; }

    int lineTimeMs(int bytes) const {
        return int((qint64(bytes) * 10 * 1000 + settings_.baudRate - 1) / settings_.baudRate);
    }

    bool reopen(Reply& reply) {
        const QString dropped = transport_->failureReason();
        reply.error = DeviceError::ConnectionDropped;
        reply.osReason = dropped;
        if (!reopenLeft_)
            return false;
        reopenLeft_ = false;
        if (transport_->open(connectTimeoutMs()))
            return true;
        reply.osReason = dropped + QStringLiteral("; reopening: ") + transport_->failureReason();
        return false;
    }

    // Answers to requests sent after `sent` stay in decoder_ for the next call. A NAK is left in `answer`.
    Outcome awaitReply(const Frame& sent, Command expected, const Check& check, int timeoutMs,
                       std::optional<Frame>& answer) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            for (FrameDecoder::Result r = decoder_.next(); r.status != FrameDecoder::Status::NeedMore;
                 r = decoder_.next()) {
                if (r.status == FrameDecoder::Status::Corrupt)
                    return Outcome::Garbled;
                const Frame& f = r.frame;
                if (f.address != sent.address || f.sequence != sent.sequence)
                    continue;
                if (f.command == Command::Nak) {
                    answer = f;
                    return Outcome::Refused;
                }
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
            const Transport::Wait wait =
                transport_->waitForBytes(int(std::min<qint64>(remaining, kRepaintSliceMs)), decoder_.missing());
            (*waiting_)();
            if (waiting_->stopping)
                return Outcome::Cancelled;
            if (wait == Transport::Wait::Lost)
                return Outcome::LineLost;
            decoder_.append(transport_->takeReceived());
        }
    }

    // The rest of a broken answer, and the answers read ahead behind it, may still be on
    // their way; wait for the line to fall quiet so the retry's answer starts on a clean buffer.
    void discardStaleInput() {
        const int quietMs = std::max(20, lineTimeMs(20));
        const int capMs = lineTimeMs(int(kReadAhead) * frameSize(kMaxWidePayload, true)) + marginMs();
        decoder_.clear();
        QElapsedTimer timer;
        timer.start();
        transport_->discardInput();
        while (timer.elapsed() < capMs && !waiting_->stopAsked() &&
               transport_->waitForData(quietMs) == Transport::Wait::Data)
            transport_->discardInput();
        transport_->discardInput();
        decoder_.clear();
    }

    PortSettings settings_;
    WaitReportPtr waiting_;
    std::unique_ptr<Transport> transport_;
    quint8 sequence_ = 0;
    bool reopenLeft_ = true;
    // Bytes taken from the line and not yet cut into frames: an answer read ahead may follow the one awaited.
    FrameDecoder decoder_;
    // Narrowed for good once the terminal refuses a read as unknown.
    Width width_ = Width::Wide;
};

SerialDeviceLink::SerialDeviceLink(HostSettings host)
    : host_(std::move(host)), recordFile_(host_.sourceRecordFile()), waiting_(std::make_shared<WaitReport>()) {}

bool SerialDeviceLink::setRecordFile(const QString& path) {
    recordFile_ = path;
    return true;
}

SerialDeviceLink::~SerialDeviceLink() = default;

void SerialDeviceLink::setWaitHandler(WaitHandler handler) {
    waiting_->handler = std::move(handler);
}

void SerialDeviceLink::setCancelCheck(CancelCheck check) {
    waiting_->cancelCheck = std::move(check);
}

void SerialDeviceLink::beginCall() {
    fault_ = {};
    waiting_->stopping = false;
    waiting_->done = 0;
    waiting_->total = 0;
    if (bus_) {
        fault_.device = bus_->device();
        bus_->beginCall();
    }
}

bool SerialDeviceLink::fail(DeviceError code, const QString& what, const QString& osReason, int retries) {
    fault_.code = code;
    fault_.osReason = osReason;
    fault_.retries = retries;
    fault_.text = what;
    if (!fault_.device.isEmpty())
        fault_.text += QStringLiteral(" on ") + fault_.device;
    if (!osReason.isEmpty())
        fault_.text += QStringLiteral(": ") + osReason;
    if (retries > 0)
        fault_.text += QStringLiteral(" (%1 retries)").arg(retries);
    return false;
}

std::optional<bool> SerialDeviceLink::SetPort(const Variant& port) {
    const qint16 number = port.toInt16();
    DestoryPort();
    beginCall();
    const PortLookup lookup = lookUpPort(host_, number);
    if (!lookup.settings)
        return fail(DeviceError::BadPortSetting, lookup.problem);
    fault_.device = lookup.settings->device;
    const QString stopped = QStringLiteral("stopped while opening port %1").arg(number);
    if (waiting_->stopAsked())
        return fail(DeviceError::Cancelled, stopped);
    if (borrowing_) {
        // A followed port is waited for while the follower stores its round and lets go: at most a
        // round and a transfer, whose length the follower's line sets.
        auto claim = std::make_unique<PortClaim>(host_, number);
        // Each slice of the wait is a wait of the link's: the window stays alive and shows why it waits.
        const QString refused = claim->borrow(
            [this] {
                (*waiting_)();
                return waiting_->stopping;
            },
            [this](const QString& text) {
                if (notice_)
                    notice_(text);
            },
            kBorrowBoundMs);
        if (!refused.isEmpty())
            return fail(waiting_->stopping ? DeviceError::Cancelled : DeviceError::PortNotOpened, refused);
        claim_ = std::move(claim);
    }
    auto bus = std::make_unique<Bus>(*lookup.settings, waiting_);
    if (!bus->open()) {
        if (waiting_->stopping)
            return fail(DeviceError::Cancelled, stopped);
        return fail(bus->openError(), QStringLiteral("cannot open port %1").arg(number), bus->openReason());
    }
    bus_ = std::move(bus);
    return true;
}

std::optional<bool> SerialDeviceLink::ChangeDate(const Variant& machine, qint16 year, qint16 month, qint16 day) {
    beginCall();
    const auto address = machineAddress(machine);
    const QDate date(year, month, day);
    if (!bus_)
        return fail(DeviceError::NoPortOpen, QStringLiteral("no port open"));
    if (!address)
        return fail(DeviceError::NoSuchTerminal, QStringLiteral("no terminal %1").arg(machine.toText()));
    if (!date.isValid() || year < 0)
        return fail(DeviceError::BadArgument, QStringLiteral("no date %1-%2-%3").arg(year).arg(month).arg(day));
    const auto reply = bus_->request(*address, Command::SetDate, encodeDate(date), Command::Ack, 1);
    if (!reply.frame)
        return fail(reply.error, requestFailure(reply.error, *address), reply.osReason, reply.retries);
    return true;
}

std::optional<bool> SerialDeviceLink::ChangeTime(const Variant& machine, double hour, double minute, double second) {
    beginCall();
    const auto address = machineAddress(machine);
    const auto h = wholeNumber(hour);
    const auto m = wholeNumber(minute);
    const auto s = wholeNumber(second);
    if (!bus_)
        return fail(DeviceError::NoPortOpen, QStringLiteral("no port open"));
    if (!address)
        return fail(DeviceError::NoSuchTerminal, QStringLiteral("no terminal %1").arg(machine.toText()));
    if (!h || !m || !s || !QTime::isValid(*h, *m, *s))
        return fail(DeviceError::BadArgument, QStringLiteral("no time %1:%2:%3").arg(hour).arg(minute).arg(second));
    const auto reply = bus_->request(*address, Command::SetTime, encodeTime(QTime(*h, *m, *s)), Command::Ack, 1);
    if (!reply.frame)
        return fail(reply.error, requestFailure(reply.error, *address), reply.osReason, reply.retries);
    return true;
}

std::optional<bool> SerialDeviceLink::GatherData(qint16 machine, QString& text1, QString& text2) {
    return transfer(machine, std::nullopt, nullptr, text1, text2);
}

std::optional<NumberedRecordLink::Span> SerialDeviceLink::gatherFrom(qint16 machine, quint32 from) {
    Span span;
    QString text1, text2;
    if (!transfer(machine, from, &span, text1, text2))
        return std::nullopt;
    return span;
}

bool SerialDeviceLink::transfer(qint16 machine, std::optional<quint32> from, Span* span, QString& text1,
                                QString& text2) {
    beginCall();
    text1.clear();
    text2.clear();
    auto failed = [&](DeviceError code, const QString& what, const QString& osReason = {}, int retries = 0) {
        fail(code, what, osReason, retries);
        text2 = fault_.text;
        return false;
    };
    const auto address = machineAddress(machine);
    if (!bus_)
        return failed(DeviceError::NoPortOpen, QStringLiteral("no port open"));
    if (!address)
        return failed(DeviceError::NoSuchTerminal, QStringLiteral("no terminal %1").arg(machine));
    const QString target = recordFile_;
    if (!QFileInfo(target).dir().exists())
        return failed(DeviceError::SourceFolderMissing,
                      QStringLiteral("no folder %1 to write the records in").arg(QFileInfo(target).absolutePath()));

    const bool numbered = from.has_value();
    int retries = 0;
    quint32 read = 0;
    quint32 total = 0;
    auto progress = [&] {
        return QStringLiteral("%1 of %2 records read from terminal %3").arg(read).arg(total).arg(*address);
    };
    const int tries = 1 + bus_->transferRetries();
    for (int transfer = 1;; ++transfer) {
        // Each try starts from the first record into a fresh file, so what is kept is one whole transfer.
        if (transfer > 1)
            bus_->beginCall();
        read = 0;
        total = 0;
        waiting_->done = 0;
        waiting_->total = 0;
        quint32 start = 0;
        if (numbered) {
            const auto asked = bus_->request(*address, Command::RecordSpan, {}, Command::SpanReply, kSpanPayload,
                                             [](const Frame& f) { return decodeSpan(f.payload).has_value(); });
            retries += asked.retries;
            if (!asked.frame)
                return failed(asked.error, requestFailure(asked.error, *address), asked.osReason, retries);
            const RecordSpan held = *decodeSpan(asked.frame->payload);
            // Records below `from` were read before; a terminal whose numbers went back was reset: all it holds is new.
            start = *from >= held.first && *from <= held.next ? *from : held.first;
            total = held.next - start;
            *span = Span{held.first, held.next, held.capacity, start};
            if (total == 0) {
                text1 = progress();
                text2 = QStringLiteral("%1 retries").arg(retries);
                return true;
            }
        } else {
            const auto counted = bus_->request(*address, Command::CountRecords, {}, Command::CountReply, 4,
                                               [](const Frame& f) { return decodeCount(f.payload).has_value(); });
            retries += counted.retries;
            if (!counted.frame)
                return failed(counted.error, requestFailure(counted.error, *address), counted.osReason, retries);
            total = *decodeCount(counted.frame->payload);
        }
        waiting_->total = total;

        // Flushed and read back before it counts: the terminal may be cleared on the strength of this file.
        DurableFile file(target);
        if (!file.open())
            return failed(DeviceError::FileNotWritten, file.whatFailed(), file.systemReason());
        auto cut = [&](DeviceError code, const QString& what, const QString& osReason = {}) {
            file.cancel();
            text1 = progress();
            return failed(code, transfer > 1 ? what + QStringLiteral(" in each of %1 transfers").arg(transfer) : what,
                          osReason, retries);
        };
        DeviceError broken = DeviceError::None;
        bool written = true;
        const Bus::Reply block = bus_->readRecords(*address, numbered, start, total, [&](const RecordBlock& records) {
            QByteArray lines;
            lines.reserve(records.records.size() * (kRecordLength + 2));
            for (const QByteArray& record : records.records)
                lines.append(record).append("\r\n");
            written = file.write(lines);
            if (written) {
                read += quint32(records.records.size());
                waiting_->done = read;
            }
            return written;
        });
        retries += block.retries;
        if (!written)
            return cut(DeviceError::FileNotWritten, file.whatFailed(), file.systemReason());
        // The terminal answered the count, so silence now is a transfer that broke off.
        if (block.error != DeviceError::None)
            broken = block.error == DeviceError::NoAnswer ? DeviceError::TransferCut : block.error;
        if (broken == DeviceError::None) {
            if (!file.commit())
                return cut(DeviceError::FileNotWritten, file.whatFailed(), file.systemReason());
            break;
        }
        // The terminal keeps its records through a gather, so starting over loses nothing. A numbered
        // read refused means another PC cleared below it meanwhile: a new span tells where to begin.
        const bool startOver = broken == DeviceError::TransferCut || broken == DeviceError::ConnectionDropped ||
                               (numbered && broken == DeviceError::TerminalRefused);
        if (!startOver || transfer >= tries || waiting_->stopAsked()) {
            if (broken == DeviceError::TransferCut)
                return cut(broken, QStringLiteral("terminal %1 stopped answering after %2 of %3 records")
                                       .arg(*address)
                                       .arg(read)
                                       .arg(total));
            return cut(broken, requestFailure(broken, *address), block.osReason);
        }
        file.cancel();
    }
    text1 = progress();
    text2 = QStringLiteral("%1 retries").arg(retries);
    return true;
}

bool SerialDeviceLink::clearBelow(qint16 machine, quint32 number) {
    beginCall();
    const auto address = machineAddress(machine);
    if (!bus_)
        return fail(DeviceError::NoPortOpen, QStringLiteral("no port open"));
    if (!address)
        return fail(DeviceError::NoSuchTerminal, QStringLiteral("no terminal %1").arg(machine));
    const auto reply = bus_->request(*address, Command::ClearBelow, encodeCount(number), Command::Ack, 1);
    if (!reply.frame)
        return fail(reply.error, requestFailure(reply.error, *address), reply.osReason, reply.retries);
    return true;
}

std::optional<bool> SerialDeviceLink::ClearRecord(const Variant& machine) {
    beginCall();
    const auto address = machineAddress(machine);
    if (!bus_)
        return fail(DeviceError::NoPortOpen, QStringLiteral("no port open"));
    if (!address)
        return fail(DeviceError::NoSuchTerminal, QStringLiteral("no terminal %1").arg(machine.toText()));
    // A followed terminal loses only what the follower stored: swipes taken since it lent the port are
    // on the terminal alone, and stay there for its next round.
    if (claim_ && claim_->lent().contains(QString::number(*address)))
        return clearBelow(*address, claim_->lent().value(QString::number(*address)));
    const auto reply = bus_->request(*address, Command::ClearRecords, {}, Command::Ack, 1);
    if (!reply.frame)
        return fail(reply.error, requestFailure(reply.error, *address), reply.osReason, reply.retries);
    return true;
}

void SerialDeviceLink::DestoryPort() {
    bus_.reset();
    claim_.reset();  // the follower takes the port back
}

DeviceFault SerialDeviceLink::lastError() const {
    return fault_;
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
