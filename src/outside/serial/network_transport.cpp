#include "outside/serial/telnet_session.h"
#include "outside/serial/transport.h"

#include <QDeadlineTimer>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tallyfold::serial {

namespace {

// A device server that vanishes without a word is noticed within about 25 s
// even while the port sits open between operations.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 5;
constexpr int kKeepAliveProbes = 3;

int sliceOf(const QDeadlineTimer& deadline) {
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, kRepaintSliceMs));
}

QString osReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

DeviceError connectError(int error) {
    switch (error) {
    case ECONNREFUSED:
        return DeviceError::ConnectionRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ETIMEDOUT:
        return DeviceError::HostUnreachable;
    default:
        return DeviceError::PortNotOpened;
    }
}

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

struct Resolved {
    std::optional<Address> address;
    QString reason;
};

Resolved lookUp(const QByteArray& host, quint16 port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found);
    if (status != 0)
        return {std::nullopt, QString::fromLocal8Bit(::gai_strerror(status))};
    Address address;
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return {address, {}};
}

class NetworkTransport : public Transport {
public:
    NetworkTransport(const PortSettings& settings, WaitReportPtr waiting)
        : settings_(settings), waiting_(std::move(waiting)) {}
    ~NetworkTransport() override { close(); }

    bool open(int timeoutMs) override {
        close();
        const QDeadlineTimer deadline(timeoutMs);
        const std::optional<Address> address = resolve(deadline);
        if (!address || !connectTo(*address, deadline))
            return false;
        if (settings_.kind == PortKind::Rfc2217 && !negotiate(deadline)) {
            close();
            return false;
        }
        return true;
    }

    void close() override {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        closed_ = false;
        telnet_.reset();
        received_.clear();
    }

    bool write(const QByteArray& bytes, int timeoutMs) override {
        return send(telnet_ ? TelnetSession::escape(bytes) : bytes, QDeadlineTimer(timeoutMs));
    }

    Wait waitForData(int timeoutMs) override {
        pull();
        if (received_.isEmpty() && !closed_ && fd_ >= 0) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, timeoutMs) > 0)
                pull();
        }
        if (!received_.isEmpty())
            return Wait::Data;
        if (closed_ || fd_ < 0) {
            setFailure(DeviceError::ConnectionDropped, closeReason_);
            return Wait::Lost;
        }
        return Wait::Quiet;
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
    void markClosed(const QString& reason) {
        closed_ = true;
        closeReason_ = reason;
    }

    bool dropped(const QString& reason) {
        markClosed(reason);
        setFailure(DeviceError::ConnectionDropped, reason);
        return false;
    }

    bool send(const QByteArray& bytes, const QDeadlineTimer& deadline) {
        if (fd_ < 0 || closed_)
            return dropped(closeReason_.isEmpty() ? QStringLiteral("not connected") : closeReason_);
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                continue;
            }
            if (errno != EAGAIN && errno != EINTR)
                return dropped(osReason(errno));
            if (deadline.hasExpired())
                return dropped(QStringLiteral("the device server took no data in time"));
            pollfd pfd{fd_, POLLOUT, 0};
            ::poll(&pfd, 1, sliceOf(deadline));
        }
        return true;
    }

    // Moves what the socket holds into received_, answering the server's telnet negotiation.
    void pull() {
        if (fd_ < 0 || closed_)
            return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                const QByteArray bytes(buffer, n);
                received_ += telnet_ ? telnet_->receive(bytes) : bytes;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0)
                markClosed(QStringLiteral("the device server closed the connection"));
            else if (errno != EAGAIN)
                markClosed(osReason(errno));
            break;
        }
        if (telnet_) {
            const QByteArray replies = telnet_->takeReplies();
            if (!replies.isEmpty())
                send(replies, QDeadlineTimer(kRepaintSliceMs));
        }
    }

    // getaddrinfo cannot be cut short, so a name is looked up on a thread of its
    // own, left to finish alone when it takes longer than the deadline.
    std::optional<Address> resolve(const QDeadlineTimer& deadline) {
        const QByteArray host = settings_.host.toUtf8();
        Resolved numeric = lookUp(host, settings_.tcpPort, AI_NUMERICHOST);
        if (numeric.address)
            return numeric.address;
        struct Lookup {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<Resolved> result;
        };
        auto lookup = std::make_shared<Lookup>();
        std::thread([lookup, host, port = settings_.tcpPort] {
            Resolved result = lookUp(host, port, 0);
            const std::lock_guard lock(lookup->mutex);
            lookup->result = std::move(result);
            lookup->done.notify_all();
        }).detach();
        std::unique_lock lock(lookup->mutex);
        while (!lookup->result) {
            if (deadline.hasExpired()) {
                setFailure(DeviceError::HostUnreachable,
                           QStringLiteral("%1 was not resolved in time").arg(settings_.host));
                return std::nullopt;
            }
            lookup->done.wait_for(lock, std::chrono::milliseconds(sliceOf(deadline)));
            lock.unlock();
            (*waiting_)();
            lock.lock();
        }
        if (!lookup->result->address)
            setFailure(DeviceError::HostUnreachable, lookup->result->reason);
        return lookup->result->address;
    }

    // Non-blocking, so windows repaint while the connection is made.
    bool connectTo(const Address& address, const QDeadlineTimer& deadline) {
        fd_ = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            setFailure(DeviceError::PortNotOpened, osReason(errno));
            return false;
        }
        auto failed = [&](DeviceError code, const QString& reason) {
            setFailure(code, reason);
            close();
            return false;
        };
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
            if (errno != EINPROGRESS)
                return failed(connectError(errno), osReason(errno));
            for (;;) {
                if (deadline.hasExpired())
                    return failed(DeviceError::HostUnreachable, QStringLiteral("no connection in time"));
                pollfd pfd{fd_, POLLOUT, 0};
                const int ready = ::poll(&pfd, 1, sliceOf(deadline));
                (*waiting_)();
                if (ready < 0 && errno != EINTR)
                    return failed(DeviceError::PortNotOpened, osReason(errno));
                if (ready > 0)
                    break;
            }
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            if (error != 0)
                return failed(connectError(error), osReason(error));
        }
        // Requests are a few bytes each: send them at once, not after the last answer's ACK.
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
        ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
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
    int fd_ = -1;
    bool closed_ = false;
    QString closeReason_;
    std::unique_ptr<TelnetSession> telnet_;
    QByteArray received_;
};

}  // namespace

std::unique_ptr<Transport> makeNetworkTransport(const PortSettings& settings, WaitReportPtr waiting) {
    return std::make_unique<NetworkTransport>(settings, std::move(waiting));
}

}  // namespace tallyfold::serial
