#include "terminal_bus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace tallyfold;
using namespace tallyfold::serial;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "set from a signal handler");

void requestStop(int signal) {
    stopSignal = signal;
    stopRequested = true;
}

std::mutex outputMutex;

void emitLine(const QString& line) {
    const std::lock_guard lock(outputMutex);
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "tallyfold-terminal-sim: %s\n", message.toLocal8Bit().constData());
    std::exit(2);
}

Clock::duration lineTime(qsizetype bytes, int baud) {
    return std::chrono::microseconds(qint64(bytes) * 10 * 1'000'000 / baud);
}

void sleepUntil(Clock::time_point until) {
    while (!stopRequested && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(10)));
}

// The pty and the loopback move bytes instantly; writing a few at a time on the
// line's clock gives the PC a real serial line's throughput. False when the
// other end is gone.
bool pacedWrite(int fd, bool socket, const QByteArray& bytes, int baud) {
    const qsizetype chunk = std::max(1, baud / 2500);
    const Clock::time_point start = Clock::now();
    for (qsizetype sent = 0; sent < bytes.size() && !stopRequested;) {
        const qsizetype n = std::min(chunk, bytes.size() - sent);
        const ssize_t written = socket ? ::send(fd, bytes.constData() + sent, size_t(n), MSG_NOSIGNAL)
                                       : ::write(fd, bytes.constData() + sent, size_t(n));
        // With nobody reading the pty slave its queue fills up; the bytes are lost as on a real line.
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (written < 0 && socket)
            return false;
        sent += n;
        sleepUntil(start + lineTime(sent, baud));
    }
    return true;
}

struct Pty {
    int master = -1;
    int slave = -1;
    QString slavePath;
};

Pty openPty() {
    Pty pty;
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0)
        fail(QStringLiteral("cannot open a pseudo-terminal"));
    pty.slavePath = QString::fromLocal8Bit(::ptsname(pty.master));
    // Holding the slave open keeps the master readable across the PC's opens and closes.
    pty.slave = ::open(pty.slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (pty.slave < 0)
        fail(QStringLiteral("cannot open %1").arg(pty.slavePath));
    termios tio{};
    ::tcgetattr(pty.slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(pty.slave, TCSANOW, &tio);
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return pty;
}

void makeLink(const QString& link, const QString& target) {
    const QByteArray path = link.toLocal8Bit();
    if (QFileInfo(link).isSymLink())
        ::unlink(path.constData());
    if (::symlink(target.toLocal8Bit().constData(), path.constData()) != 0)
        fail(QStringLiteral("cannot create the link %1").arg(link));
}

// Listens on HOST:PORT (PORT 0: any free one); returns the socket and the address it got.
int listenOn(const QString& where, QString& bound) {
    const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = colon > 0 ? where.mid(colon + 1).toInt(&ok) : 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    if (!ok || port < 0 || port > 65535 ||
        ::inet_pton(AF_INET, where.left(colon).toLatin1().constData(), &address.sin_addr) != 1)
        fail(QStringLiteral("--listen wants IPV4ADDRESS:PORT, not %1").arg(where));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail(QStringLiteral("cannot listen on %1: %2").arg(where, QString::fromLocal8Bit(std::strerror(errno))));
    bound = QStringLiteral("tcp://%1:%2").arg(where.left(colon)).arg(ntohs(address.sin_port));
    return fd;
}

struct Serving {
    int baud = 9600;
    int delayMs = 0;
};

// Answers the requests in `received` on `fd`; false when the connection is to be closed. `queued`:
// the bytes waited while an answer went out; the line is full duplex, so they had their line time then.
bool answer(sim::TerminalBus& bus, FrameDecoder& decoder, const QByteArray& received, Clock::time_point at, bool queued,
            int fd, bool socket, const Serving& serving) {
    decoder.append(received);
    // Requests read together arrived one after the other, from `at` on.
    qsizetype arrived = 0;
    for (auto r = decoder.next(); r.status != FrameDecoder::Status::NeedMore && !stopRequested; r = decoder.next()) {
        if (r.status != FrameDecoder::Status::Frame)
            continue;
        arrived += frameSize(int(r.frame.payload.size()));
        const auto reply = bus.handle(r.frame);
        if (!reply)
            continue;
        for (const QString& event : reply->events)
            emitLine(event);
        const Clock::time_point heard = queued ? Clock::now() : at + lineTime(arrived, serving.baud);
        sleepUntil(std::max(heard, Clock::now()) + std::chrono::milliseconds(serving.delayMs));
        if (!pacedWrite(fd, socket, reply->bytes, serving.baud))
            return false;
        if (reply->hangUp && socket)
            return false;
    }
    return true;
}

class Endpoint {
public:
    Endpoint(QString where, bool network) : where_(std::move(where)), network_(network) {}
    virtual ~Endpoint() = default;

    QString where() const { return where_; }
    bool network() const { return network_; }
    sim::TerminalBus& bus() { return *bus_; }
    sim::BusOptions& options() { return options_; }

    // Opens the line or the listening socket; returns what the ready line names.
    virtual QString open() = 0;
    virtual void serve(const Serving& serving) = 0;
    virtual void close() = 0;

protected:
    QString where_;
    bool network_;
    sim::BusOptions options_;
    std::unique_ptr<sim::TerminalBus> bus_;

    void loadBus() {
        bus_ = std::make_unique<sim::TerminalBus>(options_);
        QString error;
        if (!bus_->load(&error))
            fail(error);
    }
};

class PtyEndpoint : public Endpoint {
public:
    explicit PtyEndpoint(const QString& link) : Endpoint(link, false) {}

    QString open() override {
        loadBus();
        pty_ = openPty();
        makeLink(where_, pty_.slavePath);
        return where_;
    }

    void serve(const Serving& serving) override {
        FrameDecoder decoder;
        char buffer[4096];
        while (!stopRequested) {
            pollfd pfd{pty_.master, POLLIN, 0};
            // Bytes already there came in while the last answer went out: a request read ahead.
            const bool queued = ::poll(&pfd, 1, 0) > 0;
            if (!queued && ::poll(&pfd, 1, 200) <= 0)
                continue;
            const ssize_t n = ::read(pty_.master, buffer, sizeof buffer);
            if (n <= 0) {
                // EIO while no slave is open on some kernels; wait for the next open.
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            answer(*bus_, decoder, QByteArray(buffer, n), Clock::now(), queued, pty_.master, false, serving);
        }
    }

    void close() override {
        ::unlink(where_.toLocal8Bit().constData());
        ::close(pty_.slave);
        ::close(pty_.master);
    }

private:
    Pty pty_;
};

// A device server in raw TCP mode with its line built in: one client at a
// time, and a new client takes over from the old one, as after a reconnect.
class TcpEndpoint : public Endpoint {
public:
    explicit TcpEndpoint(const QString& where) : Endpoint(where, true) {}

    QString open() override {
        loadBus();
        QString bound;
        listener_ = listenOn(where_, bound);
        return bound;
    }

    void serve(const Serving& serving) override {
        FrameDecoder decoder;
        char buffer[4096];
        while (!stopRequested) {
            pollfd pfds[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
            const bool queued = client_ >= 0 && ::poll(pfds + 1, 1, 0) > 0;
            if (!queued && ::poll(pfds, client_ >= 0 ? 2 : 1, 200) <= 0)
                continue;
            if (pfds[0].revents & POLLIN) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    dropClient();
                    client_ = fd;
                    const timeval sendLimit{1, 0};
                    ::setsockopt(client_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
                    const int on = 1;
                    ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    decoder.clear();
                }
                continue;
            }
            if (client_ < 0 || !(pfds[1].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    dropClient();
                continue;
            }
            if (!answer(*bus_, decoder, QByteArray(buffer, n), Clock::now(), queued, client_, true, serving))
                dropClient();
        }
    }

    void close() override {
        dropClient();
        ::close(listener_);
    }

private:
    void dropClient() {
        if (client_ >= 0)
            ::close(client_);
        client_ = -1;
    }

    int listener_ = -1;
    int client_ = -1;
};

// One thread takes the swipes of every bus, so they arrive while the buses' threads serve
// requests, and keeps the state files at most this far behind them.
constexpr auto kStateLag = std::chrono::milliseconds(200);

void takeSwipes(const std::vector<std::unique_ptr<Endpoint>>& endpoints, Clock::duration every,
                std::optional<Clock::time_point> until) {
    Clock::time_point next = Clock::now() + every;
    Clock::time_point save = Clock::now() + kStateLag;
    while (!stopRequested && (!until || next <= *until)) {
        sleepUntil(std::min(next, save));
        const Clock::time_point now = Clock::now();
        if (stopRequested)
            break;
        if (now >= next) {
            for (const auto& endpoint : endpoints)
                for (const QString& event : endpoint->bus().swipe())
                    emitLine(event);
            next += every;
            // A stalled machine skips the swipes it missed rather than rushing them through.
            if (next < now)
                next = now + every;
        }
        if (now >= save) {
            for (const auto& endpoint : endpoints)
                endpoint->bus().saveState();
            save = now + kStateLag;
        }
    }
    for (const auto& endpoint : endpoints)
        endpoint->bus().saveState();
}

int intValue(const QString& text, const QString& option, int min, int max) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        fail(QStringLiteral("--%1 wants a number from %2 to %3").arg(option).arg(min).arg(max));
    return value;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallyfold-terminal-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves count terminals on pseudo-terminals and TCP ports, one bus each.\n"
                       "Each --terminal belongs to the --link or --listen before it (the first one when none is).\n"
                       "Prints one line per event on stdout: 'ready PATH' or 'ready tcp://HOST:PORT' once\n"
                       "serving, in the order given, 'date ADDR YYYY-MM-DD' and 'time ADDR HH:MM:SS' when the\n"
                       "PC sets a clock, 'cleared ADDR' after a clear, 'cleared ADDR below N' after a clear\n"
                       "below a number, 'full ADDR' when a full terminal refuses a swipe (once until cleared).\n"
                       "Exits on SIGTERM, SIGINT or SIGHUP with 128 + its number and removes the links."));
    parser.addHelpOption();
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("A bus on a pseudo-terminal: the symlink to create to its slave device."),
        QStringLiteral("PATH"));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("A bus behind a device server in raw TCP mode, listening on this IPv4 address "
                       "(port 0: any free port; the ready line names it)."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption terminalOption(
        QStringLiteral("terminal"),
        QStringLiteral("A terminal on the bus, with its records (one 18-character record a line; "
                       "a missing file means no records). Repeat for more terminals."),
        QStringLiteral("ADDR[=RECORDFILE]"));
    const QCommandLineOption baudOption(QStringLiteral("baud"), QStringLiteral("Line speed to pace answers to."),
                                        QStringLiteral("N"), QStringLiteral("9600"));
    const QCommandLineOption silentOption(QStringLiteral("silent"), QStringLiteral("This terminal never answers."),
                                          QStringLiteral("ADDR"));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"),
                                         QStringLiteral("Wait this long before each answer."), QStringLiteral("N"),
                                         QStringLiteral("0"));
    const QCommandLineOption garbleOption(QStringLiteral("garble"),
                                          QStringLiteral("Share of answers with a corrupted byte."),
                                          QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption nakOption(QStringLiteral("nak"),
                                       QStringLiteral("Share of requests refused with a NAK, not carried out."),
                                       QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed for --garble, --nak and the swipes' cards."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption cutOption(
        QStringLiteral("cut-after"),
        QStringLiteral("Once only: the transfer stops after N records, mid-answer, and the terminal ignores "
                       "read requests until the PC counts the records again."),
        QStringLiteral("N"));
    const QCommandLineOption cutTimesOption(
        QStringLiteral("cut-times"), QStringLiteral("With --cut-after: cut this many transfers, not only the first."),
        QStringLiteral("K"), QStringLiteral("1"));
    const QCommandLineOption dropOption(
        QStringLiteral("drop-after"),
        QStringLiteral("Once only, on --listen buses: the connection is closed after N records, mid-answer; "
                       "the terminal answers as before on the next connection."),
        QStringLiteral("N"));
    const QCommandLineOption shortReadsOption(
        QStringLiteral("short-reads"),
        QStringLiteral("The terminals know only the 64-record reads and refuse the long and wide ones as unknown, as "
                       "older terminals do."));
    const QCommandLineOption failClearOption(
        QStringLiteral("fail-clear"), QStringLiteral("This terminal refuses every clear."), QStringLiteral("ADDR"));
    const QCommandLineOption stateOption(
        QStringLiteral("state-dir"),
        QStringLiteral("Keep DIR/ADDR.txt holding each terminal's records, one a line, rewritten at start "
                       "and after every change (addresses must then differ across buses)."),
        QStringLiteral("DIR"));
    const QCommandLineOption capacityOption(
        QStringLiteral("capacity"),
        QStringLiteral("Records a terminal holds; a full one refuses swipes. Records loaded from a file are held "
                       "whatever the capacity."),
        QStringLiteral("N"), QStringLiteral("60000"));
    const QCommandLineOption swipeEveryOption(
        QStringLiteral("swipe-every"),
        QStringLiteral("Each terminal takes a swipe (a random card, the current time) every MS milliseconds while "
                       "it serves requests (addresses must then differ across buses)."),
        QStringLiteral("MS"));
    const QCommandLineOption swipeForOption(
        QStringLiteral("swipe-for"),
        QStringLiteral("With --swipe-every: stop swiping after this many seconds (default: swipe until stopped)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption clockOption(
        QStringLiteral("clock-off"),
        QStringLiteral("The terminals' clocks are this many seconds ahead (negative: behind) until the PC sets them."),
        QStringLiteral("SECONDS"), QStringLiteral("0"));
    const QCommandLineOption swipesOption(
        QStringLiteral("swipes"),
        QStringLiteral("Append every swipe taken to FILE, its 18-character record a line, written at once."),
        QStringLiteral("FILE"));
    parser.addOptions({linkOption,     listenOption,     terminalOption,   baudOption,      silentOption,
                       delayOption,    garbleOption,     nakOption,        seedOption,      cutOption,
                       cutTimesOption, dropOption,       shortReadsOption, failClearOption, stateOption,
                       capacityOption, swipeEveryOption, swipeForOption,   swipesOption,    clockOption});
    parser.process(app);

    sim::BusOptions shared;
    for (const QString& value : parser.values(silentOption))
        shared.silent.insert(intValue(value, QStringLiteral("silent"), 0, 255));
    for (const QString& value : parser.values(failClearOption))
        shared.failClear.insert(intValue(value, QStringLiteral("fail-clear"), 0, 255));
    shared.garblePercent = intValue(parser.value(garbleOption), QStringLiteral("garble"), 0, 100);
    shared.nakPercent = intValue(parser.value(nakOption), QStringLiteral("nak"), 0, 100);
    shared.seed = quint32(intValue(parser.value(seedOption), QStringLiteral("seed"), 0, INT_MAX));
    if (parser.isSet(cutOption))
        shared.cutAfter = intValue(parser.value(cutOption), QStringLiteral("cut-after"), 0, INT_MAX);
    shared.cutTimes = intValue(parser.value(cutTimesOption), QStringLiteral("cut-times"), 0, INT_MAX);
    if (parser.isSet(dropOption))
        shared.dropAfter = intValue(parser.value(dropOption), QStringLiteral("drop-after"), 0, INT_MAX);
    shared.longReads = !parser.isSet(shortReadsOption);
    shared.stateDir = parser.value(stateOption);
    if (!shared.stateDir.isEmpty() && !QDir().mkpath(shared.stateDir))
        fail(QStringLiteral("cannot create %1").arg(shared.stateDir));
    shared.capacity = quint32(intValue(parser.value(capacityOption), QStringLiteral("capacity"), 1, INT_MAX));
    shared.clockOffset = intValue(parser.value(clockOption), QStringLiteral("clock-off"), -INT_MAX, INT_MAX);
    std::optional<Clock::duration> swipeEvery;
    if (parser.isSet(swipeEveryOption))
        swipeEvery = std::chrono::milliseconds(
            intValue(parser.value(swipeEveryOption), QStringLiteral("swipe-every"), 1, 86'400'000));
    std::optional<Clock::duration> swipeFor;
    if (parser.isSet(swipeForOption)) {
        bool ok = false;
        const double seconds = parser.value(swipeForOption).toDouble(&ok);
        if (!ok || !(seconds > 0 && seconds <= 31'536'000))
            fail(QStringLiteral("--swipe-for wants a number of seconds above 0"));
        if (!swipeEvery)
            fail(QStringLiteral("--swipe-for needs --swipe-every"));
        swipeFor = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    sim::SwipeLog swipeLog;
    sim::MinuteCards minuteCards;
    shared.minuteCards = &minuteCards;
    if (parser.isSet(swipesOption)) {
        QString error;
        if (!swipeLog.open(parser.value(swipesOption), &error))
            fail(error);
        shared.swipeLog = &swipeLog;
    }
    Serving serving;
    serving.baud = intValue(parser.value(baudOption), QStringLiteral("baud"), 50, 4'000'000);
    serving.delayMs = intValue(parser.value(delayOption), QStringLiteral("delay-ms"), 0, 600'000);

    // Walk the options in command-line order to give each terminal its bus.
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    QList<QPair<int, QString>> terminals;
    QHash<QString, int> seen;
    for (const QString& name : parser.optionNames()) {
        const int nth = seen[name]++;
        if (name == linkOption.names().first())
            endpoints.push_back(std::make_unique<PtyEndpoint>(parser.values(linkOption).at(nth)));
        else if (name == listenOption.names().first())
            endpoints.push_back(std::make_unique<TcpEndpoint>(parser.values(listenOption).at(nth)));
        else if (name == terminalOption.names().first())
            terminals.append({int(std::max<size_t>(endpoints.size(), 1)) - 1, parser.values(terminalOption).at(nth)});
    }
    if (endpoints.empty())
        fail(QStringLiteral("--link or --listen is required"));
    QSet<int> addresses;
    for (auto& endpoint : endpoints)
        endpoint->options() = shared;
    for (const auto& [bus, entry] : terminals) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        const int address = intValue(eq < 0 ? entry : entry.left(eq), QStringLiteral("terminal"), 0, 255);
        // Two terminals of one address would write the same records, which the store takes as one.
        if ((!shared.stateDir.isEmpty() || swipeEvery) && addresses.contains(address))
            fail(QStringLiteral("terminal %1 is on two buses; --state-dir and --swipe-every need distinct addresses")
                     .arg(address));
        addresses.insert(address);
        endpoints[size_t(bus)]->options().terminals.insert(address, eq < 0 ? QString() : entry.mid(eq + 1));
    }

    struct sigaction action {};
    action.sa_handler = requestStop;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    for (auto& endpoint : endpoints)
        emitLine(QStringLiteral("ready ") + endpoint->open());
    std::vector<std::thread> threads;
    for (auto& endpoint : endpoints)
        threads.emplace_back([&endpoint, serving] { endpoint->serve(serving); });
    if (swipeEvery) {
        std::optional<Clock::time_point> until;
        if (swipeFor)
            until = Clock::now() + *swipeFor;
        threads.emplace_back([&endpoints, every = *swipeEvery, until] { takeSwipes(endpoints, every, until); });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Exact at exit, whatever the swipes' lag.
    for (auto& endpoint : endpoints)
        endpoint->bus().saveState();
    for (auto& endpoint : endpoints)
        endpoint->close();
    // Stopped by a signal, as the shell's convention says.
    return stopSignal != 0 ? 128 + stopSignal : 0;
}
