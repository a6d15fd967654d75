// A TCP relay that holds every byte back for a fixed time in each direction, as a far
// network would, so that tests and benchmarks see real round trips on the loopback.
// Fault options stall or cut a connection after a number of bytes, or lose the answers to a request.
//
//   tallyfold-delay-proxy LISTEN_PORT HOST PORT [--one-way-ms MS] [--seconds S]
//                         [--stall-after BYTES] [--drop-after BYTES] [--mute-on TEXT]
//
// Prints "ready" once it listens on 127.0.0.1:LISTEN_PORT; ends after S seconds, or on SIGTERM, SIGINT
// or SIGHUP with 128 + its number.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <deque>

namespace {

struct Faults {
    qint64 stallAfter = -1;  // bytes from the client after which nothing more is forwarded, either way
    qint64 dropAfter = -1;   // bytes from the client after which both sides are cut
    // Once the client has sent this text, the server still gets every byte but the client none
    // (what waits for it is lost), and a second later both sides are cut: a request that ran
    // and whose answer never came back.
    QByteArray muteOn;
};

// One direction of one connection: chunks wait in order until their time has come.
class DelayedPipe : public QObject {
public:
    DelayedPipe(QTcpSocket* from, QTcpSocket* to, int delayMs, QObject* parent)
        : QObject(parent), from_(from), to_(to), delayMs_(delayMs) {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, &DelayedPipe::release);
        clock_.start();
    }

    // Takes what arrived and returns it.
    QByteArray take() {
        const QByteArray data = from_->readAll();
        if (data.isEmpty() || stalled_)
            return data;
        queue_.push_back({clock_.elapsed() + delayMs_, data});
        if (!timer_.isActive())
            timer_.start(delayMs_);
        return data;
    }

    // The far side learns of a closed connection as late as of its last bytes.
    void closeAfterDelay() {
        closing_ = true;
        if (!timer_.isActive())
            timer_.start(delayMs_);
    }

    void stall() {
        stalled_ = true;
        queue_.clear();
        timer_.stop();
    }

private:
    void release() {
        const qint64 now = clock_.elapsed();
        while (!queue_.empty() && queue_.front().due <= now) {
            to_->write(queue_.front().data);
            queue_.pop_front();
        }
        if (!queue_.empty())
            timer_.start(int(queue_.front().due - now));
        else if (closing_ && to_)
            to_->disconnectFromHost();
    }

    struct Chunk {
        qint64 due;
        QByteArray data;
    };
    QPointer<QTcpSocket> from_, to_;
    int delayMs_;
    std::deque<Chunk> queue_;
    QTimer timer_;
    QElapsedTimer clock_;
    bool closing_ = false;
    bool stalled_ = false;
};

class Relay : public QObject {
public:
    Relay(QTcpSocket* client, const QString& host, quint16 port, int delayMs, Faults faults, QObject* parent)
        : QObject(parent), client_(client), server_(new QTcpSocket(this)), faults_(faults) {
        client_->setParent(this);
        up_ = new DelayedPipe(client_, server_, delayMs, this);
        down_ = new DelayedPipe(server_, client_, delayMs, this);
        connect(client_, &QTcpSocket::readyRead, this, [this] { fromClient(); });
        connect(server_, &QTcpSocket::readyRead, this, [this] { down_->take(); });
        connect(client_, &QTcpSocket::disconnected, this, [this] {
            up_->closeAfterDelay();
            finishSoon();
        });
        connect(server_, &QTcpSocket::disconnected, this, [this] {
            down_->closeAfterDelay();
            finishSoon();
        });
        connect(server_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                client_->abort();
        });
        server_->connectToHost(host, port);
        // Bytes the client sent before it was handed over.
        if (client_->bytesAvailable())
            fromClient();
    }

private:
    void fromClient() {
        const QByteArray data = up_->take();
        received_ += data.size();
        if (!faults_.muteOn.isEmpty() && !muted_) {
            // The text may straddle two reads.
            seen_ = seen_.right(faults_.muteOn.size() - 1) + data;
            if (seen_.contains(faults_.muteOn)) {
                muted_ = true;
                down_->stall();
                QTimer::singleShot(1000, this, [this] {
                    client_->abort();
                    server_->abort();
                });
            }
        }
        if (faults_.dropAfter >= 0 && received_ >= faults_.dropAfter) {
            client_->abort();
            server_->abort();
            deleteLater();
        } else if (faults_.stallAfter >= 0 && received_ >= faults_.stallAfter) {
            up_->stall();
            down_->stall();
        }
    }

    // Once both sides are gone and the last bytes delivered, the relay goes.
    void finishSoon() {
        if (client_->state() == QAbstractSocket::UnconnectedState &&
            server_->state() == QAbstractSocket::UnconnectedState)
            QTimer::singleShot(60000, this, &QObject::deleteLater);
    }

    QTcpSocket* client_;
    QTcpSocket* server_;
    DelayedPipe* up_ = nullptr;
    DelayedPipe* down_ = nullptr;
    Faults faults_;
    qint64 received_ = 0;
    QByteArray seen_;
    bool muted_ = false;
};

int signalPipe[2];
volatile std::sig_atomic_t stopSignal = 0;

void onSignal(int signal) {
    stopSignal = signal;
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Relays TCP with a fixed delay each way."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("listen-port"), QStringLiteral("Port on 127.0.0.1 to listen on."));
    parser.addPositionalArgument(QStringLiteral("host"), QStringLiteral("Host to relay to."));
    parser.addPositionalArgument(QStringLiteral("port"), QStringLiteral("Port to relay to."));
    const QCommandLineOption oneWay(QStringLiteral("one-way-ms"), QStringLiteral("Delay each way."),
                                    QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Stop after this long."),
                                     QStringLiteral("s"), QStringLiteral("3600"));
    const QCommandLineOption stall(
        QStringLiteral("stall-after"),
        QStringLiteral("Stop forwarding a connection after this many bytes from the client."), QStringLiteral("bytes"));
    const QCommandLineOption drop(QStringLiteral("drop-after"),
                                  QStringLiteral("Cut a connection after this many bytes from the client."),
                                  QStringLiteral("bytes"));
    const QCommandLineOption mute(
        QStringLiteral("mute-on"),
        QStringLiteral("Once the client sent this text, send it nothing more and cut the connection 1 s later."),
        QStringLiteral("text"));
    parser.addOptions({oneWay, seconds, stall, drop, mute});
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    bool ok[5] = {false, false, true, true, true};
    if (args.size() != 3)
        parser.showHelp(2);
    const quint16 listenPort = args[0].toUShort(&ok[0]);
    const quint16 port = args[2].toUShort(&ok[1]);
    const double delay = parser.value(oneWay).toDouble(&ok[2]);
    Faults faults;
    if (parser.isSet(stall))
        faults.stallAfter = parser.value(stall).toLongLong(&ok[3]);
    if (parser.isSet(drop))
        faults.dropAfter = parser.value(drop).toLongLong(&ok[4]);
    faults.muteOn = parser.value(mute).toUtf8();
    for (bool good : ok)
        if (!good) {
            std::fputs("tallyfold-delay-proxy: a number is not valid\n", stderr);
            return 2;
        }

    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, listenPort)) {
        std::fprintf(stderr, "tallyfold-delay-proxy: %s\n", qPrintable(listener.errorString()));
        return 1;
    }
    const QString host = args[1];
    const int delayMs = qRound(delay);
    QObject::connect(&listener, &QTcpServer::newConnection, &listener, [&] {
        while (QTcpSocket* client = listener.nextPendingConnection())
            new Relay(client, host, port, delayMs, faults, &listener);
    });

    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGHUP, onSignal);
    QSocketNotifier stopper(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    QTimer::singleShot(int(parser.value(seconds).toDouble() * 1000), &app, &QCoreApplication::quit);

    std::puts("ready");
    std::fflush(stdout);
    const int status = app.exec();
    // Stopped by a signal, as the shell's convention says.
    return stopSignal != 0 ? 128 + stopSignal : status;
}
