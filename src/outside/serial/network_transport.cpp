#include "outside/serial/telnet_session.h"
#include "outside/serial/transport.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

namespace tallyfold::serial {

namespace {

// A device server that vanishes without a word is noticed within about 25 s
// even while the port sits open between operations.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 5;
constexpr int kKeepAliveProbes = 3;
// The most a wait asks the kernel to gather before it wakes the reader: a frame and then some.
constexpr qsizetype kMaxLowWater = 8192;

int sliceOf(const QDeadlineTimer& deadline) {
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, kRepaintSliceMs));
}

// A negative time would make an endless deadline; every call here is bounded.
QDeadlineTimer boundedDeadline(int timeoutMs) {
    return QDeadlineTimer(std::max(timeoutMs, 0));
}

DeviceError connectError(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return DeviceError::ConnectionRefused;
    // Qt reports unreachable hosts and networks, and the kernel's own timeout, as a network error.
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::SocketTimeoutError:
        return DeviceError::HostUnreachable;
    default:
        return DeviceError::PortNotOpened;
    }
}

class NetworkTransport : public Transport {
public:
    NetworkTransport(const PortSettings& settings, WaitReportPtr waiting)
        : settings_(settings), waiting_(std::move(waiting)) {}
    ~NetworkTransport() override { close(); }

    bool open(int timeoutMs) override {
        close();
        const QDeadlineTimer deadline = boundedDeadline(timeoutMs);
        const std::optional<QList<QHostAddress>> addresses = resolve(deadline);
        if (!addresses || !connectToAny(*addresses, deadline))
            return false;
        if (settings_.kind == PortKind::Rfc2217 && !negotiate(deadline)) {
            close();
            return false;
        }
        return true;
    }

    void close() override {
        socket_.reset();
        telnet_.reset();
        received_.clear();
    }

    bool write(const QByteArray& bytes, int timeoutMs) override {
        return send(telnet_ ? TelnetSession::escape(bytes) : bytes, boundedDeadline(timeoutMs));
    }

    Wait waitForData(int timeoutMs) override {
        const QDeadlineTimer deadline = boundedDeadline(timeoutMs);
        for (;;) {
            pull();
            if (!received_.isEmpty())
                return Wait::Data;
            if (!connected()) {
                setFailure(DeviceError::ConnectionDropped, lostReason());
                return Wait::Lost;
            }
            if (deadline.hasExpired())
                return Wait::Quiet;
            socket_->waitForReadyRead(sliceOf(deadline));
            if (!deadline.hasExpired())
                (*waiting_)();
            if (waiting_->stopping)
                return Wait::Quiet;
        }
    }

    // A device server sends a line's bytes a few dozen at a time, each piece its own segment; the
    // kernel is asked to wake this thread once the bytes wanted are all there (SO_RCVLOWAT), not
    // for each piece, which with many ports at once is most of the gathering's CPU time.
    Wait waitForBytes(int timeoutMs, qsizetype wanted) override {
        const QDeadlineTimer deadline = boundedDeadline(timeoutMs);
        pull();
        const qsizetype lacking = std::min(wanted - received_.size(), kMaxLowWater);
        if (lacking > 1 && connected() && !deadline.hasExpired()) {
            const int fd = int(socket_->socketDescriptor());
            const int low = int(lacking), one = 1;
            if (::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low) == 0) {
                socket_->waitForReadyRead(sliceOf(deadline));
                ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
                // Bytes short of the mark are taken too: the answer may be shorter than the caller thought.
                if (deadline.hasExpired())
                    socket_->waitForReadyRead(0);
            }
        }
        return waitForData(int(deadline.remainingTime()));
    }

    QByteArray takeReceived() override {
        pull();
        return std::exchange(received_, {});
    }

    void discardInput() override {
        pull();
        received_.clear();
    }

private:
    bool connected() const { return socket_ && socket_->state() == QAbstractSocket::ConnectedState; }

    QString lostReason() const {
        if (!socket_)
            return QStringLiteral("not connected");
        // A read that timed out earlier leaves its error behind; it says nothing about the loss.
        if (socket_->error() == QAbstractSocket::SocketTimeoutError ||
            socket_->error() == QAbstractSocket::UnknownSocketError)
            return QStringLiteral("the device server closed the connection");
        return socket_->errorString();
    }

    bool dropped(const QString& reason) {
        setFailure(DeviceError::ConnectionDropped, reason);
        return false;
    }

    // Runs this thread's events in slices until done() or the deadline, so the
    // caller hears between slices; user input waits until the call returns.
    bool pump(QEventLoop& loop, const std::function<bool()>& done, const QDeadlineTimer& deadline) {
        QTimer slice;
        slice.setSingleShot(true);
        slice.setTimerType(Qt::PreciseTimer);
        QObject::connect(&slice, &QTimer::timeout, &loop, &QEventLoop::quit);
        while (!done()) {
            if (deadline.hasExpired() || waiting_->stopping)
                return false;
            slice.start(sliceOf(deadline));
            loop.exec(QEventLoop::ExcludeUserInputEvents);
            (*waiting_)();
        }
        return true;
    }

    bool send(const QByteArray& bytes, const QDeadlineTimer& deadline) {
        if (!connected())
            return dropped(lostReason());
        if (socket_->write(bytes) != bytes.size())
            return dropped(socket_->errorString());
        socket_->flush();
        while (socket_->bytesToWrite() > 0) {
            if (!connected())
                return dropped(lostReason());
            if (deadline.hasExpired())
                return dropped(QStringLiteral("the device server took no data in time"));
            if (waiting_->stopping)
                return dropped(QStringLiteral("stopped while sending"));
            socket_->waitForBytesWritten(sliceOf(deadline));
            (*waiting_)();
        }
        return true;
    }

    // Moves what the socket holds into received_, answering the server's telnet
    // negotiation; bytes kept here outlive a socket that drops.
    void pull() {
        if (!socket_)
            return;
        const QByteArray bytes = socket_->readAll();
        if (bytes.isEmpty())
            return;
        received_ += telnet_ ? telnet_->receive(bytes) : bytes;
        if (telnet_) {
            const QByteArray replies = telnet_->takeReplies();
            if (!replies.isEmpty() && connected())
                send(replies, QDeadlineTimer(kRepaintSliceMs));
        }
    }

    // Looked up with a receiver, so a lookup that outlasts the deadline is abandoned, not awaited.
    std::optional<QList<QHostAddress>> resolve(const QDeadlineTimer& deadline) {
        if (QHostAddress numeric; numeric.setAddress(settings_.host))
            return QList<QHostAddress>{numeric};
        // The loop gives this thread the event dispatcher the lookup answers through.
        QEventLoop loop;
        std::optional<QHostInfo> found;
        const int id = QHostInfo::lookupHost(settings_.host, &loop, [&](const QHostInfo& info) {
            found = info;
            loop.quit();
        });
        const auto answered = [&] { return found.has_value(); };
        if (!pump(loop, answered, deadline)) {
            QHostInfo::abortHostLookup(id);
            setFailure(DeviceError::HostUnreachable, QStringLiteral("%1 was not resolved in time").arg(settings_.host));
            return std::nullopt;
        }
        if (found->error() != QHostInfo::NoError || found->addresses().isEmpty()) {
            setFailure(DeviceError::HostUnreachable, found->errorString());
            return std::nullopt;
        }
        return found->addresses();
    }

    // Every address the name has, in the resolver's order, until one connects.
    bool connectToAny(const QList<QHostAddress>& addresses, const QDeadlineTimer& deadline) {
        QStringList reasons;
        for (qsizetype i = 0; i < addresses.size(); ++i) {
            // An address that never answers leaves the later ones their share of the time.
            const QDeadlineTimer share(deadline.remainingTime() / (addresses.size() - i));
            if (connectTo(addresses[i], share))
                return true;
            reasons << (addresses.size() > 1 ? addresses[i].toString() + QStringLiteral(": ") : QString()) +
                           failureReason();
        }
        setFailure(failureCode(), reasons.join(QStringLiteral("; ")));
        return false;
    }

    bool connectTo(const QHostAddress& address, const QDeadlineTimer& deadline) {
        // Made before the socket, so the socket's notifiers have a dispatcher on any thread.
        QEventLoop loop;
        socket_ = std::make_unique<QTcpSocket>();
        QObject::connect(socket_.get(), &QAbstractSocket::connected, &loop, &QEventLoop::quit);
        QObject::connect(socket_.get(), &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
        socket_->connectToHost(address, settings_.tcpPort);
        const auto decided = [this] {
            return socket_->state() == QAbstractSocket::ConnectedState ||
                   socket_->state() == QAbstractSocket::UnconnectedState;
        };
        const bool settled = pump(loop, decided, deadline);
        if (!connected()) {
            if (settled)
                setFailure(connectError(socket_->error()), socket_->errorString());
            else
                setFailure(DeviceError::HostUnreachable, QStringLiteral("no connection in time"));
            socket_.reset();
            return false;
        }
        // Requests are a few bytes each: send them at once, not after the last answer's ACK.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        const int fd = int(socket_->socketDescriptor());
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
        return true;
    }

    // Telnet options, then baud rate and framing; done once the server confirmed the rate.
    bool negotiate(const QDeadlineTimer& deadline) {
        telnet_ = std::make_unique<TelnetSession>();
        // Telnet commands go out as they are; write() would escape them as data.
        if (!send(telnet_->greeting(), deadline) ||
            !awaitServer([this] { return telnet_->comPort() != TelnetSession::ComPort::Unknown; }, deadline,
                         QStringLiteral("no answer to the COM-port negotiation")))
            return false;
        if (telnet_->comPort() == TelnetSession::ComPort::Refused) {
            setFailure(DeviceError::PortNotOpened, QStringLiteral("the device server refuses COM-port control"));
            return false;
        }
        telnet_->expectBaudConfirmation();
        if (!send(TelnetSession::lineSettings(settings_.baudRate), deadline) ||
            !awaitServer([this] { return telnet_->baudConfirmed(); }, deadline,
                         QStringLiteral("the baud rate was not confirmed")))
            return false;
        received_.clear();
        return true;
    }

    bool awaitServer(const std::function<bool()>& done, const QDeadlineTimer& deadline, const QString& silence) {
        while (!done()) {
            if (deadline.hasExpired()) {
                setFailure(DeviceError::NoAnswer, silence);
                return false;
            }
            if (waiting_->stopping) {
                setFailure(DeviceError::Cancelled, QStringLiteral("stopped while negotiating"));
                return false;
            }
            const Wait wait = waitForData(sliceOf(deadline));
            (*waiting_)();
            if (wait == Wait::Lost) {
                setFailure(DeviceError::PortNotOpened, failureReason());
                return false;
            }
        }
        return true;
    }

    PortSettings settings_;
    WaitReportPtr waiting_;
    std::unique_ptr<QTcpSocket> socket_;
    std::unique_ptr<TelnetSession> telnet_;
    QByteArray received_;
};

}  // namespace

std::unique_ptr<Transport> makeNetworkTransport(const PortSettings& settings, WaitReportPtr waiting) {
    return std::make_unique<NetworkTransport>(settings, std::move(waiting));
}

}  // namespace tallyfold::serial
