#include "terminal_bus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace tallyfold;
using namespace tallyfold::serial;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

void emitLine(const QString& line) {
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

// The pty moves bytes instantly; writing a few at a time on the line's clock
// gives the PC a real serial line's throughput.
void pacedWrite(int fd, const QByteArray& bytes, int baud) {
    const qsizetype chunk = std::max(1, baud / 2500);
    const Clock::time_point start = Clock::now();
    for (qsizetype sent = 0; sent < bytes.size() && !stopRequested;) {
        const qsizetype n = std::min(chunk, bytes.size() - sent);
        const ssize_t written = ::write(fd, bytes.constData() + sent, size_t(n));
        // With nobody reading the slave its queue fills up; the bytes are lost as on a real line.
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return;
        sent += n;
        sleepUntil(start + lineTime(sent, baud));
    }
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
        QStringLiteral("Serves count terminals on a pseudo-terminal.\n"
                       "Prints one line per event on stdout: 'ready PATH' once serving, 'date ADDR YYYY-MM-DD'\n"
                       "and 'time ADDR HH:MM:SS' when the PC sets a clock, 'cleared ADDR' after a clear.\n"
                       "Exits on SIGTERM or SIGINT and removes the link."));
    parser.addHelpOption();
    const QCommandLineOption linkOption(
        QStringLiteral("link"), QStringLiteral("Symlink to create to the slave device."), QStringLiteral("PATH"));
    const QCommandLineOption terminalOption(
        QStringLiteral("terminal"),
        QStringLiteral("A terminal on the line, with its records (one 18-character record a line; "
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
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed for --garble and --nak."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption cutOption(
        QStringLiteral("cut-after"),
        QStringLiteral("Once only: the transfer stops after N records, mid-answer, and the terminal ignores "
                       "read requests until the PC counts the records again."),
        QStringLiteral("N"));
    const QCommandLineOption failClearOption(
        QStringLiteral("fail-clear"), QStringLiteral("This terminal refuses every clear."), QStringLiteral("ADDR"));
    const QCommandLineOption stateOption(
        QStringLiteral("state-dir"),
        QStringLiteral("Keep DIR/ADDR.txt holding each terminal's records, one a line, rewritten at start "
                       "and after every change."),
        QStringLiteral("DIR"));
    parser.addOptions({linkOption, terminalOption, baudOption, silentOption, delayOption, garbleOption, nakOption,
                       seedOption, cutOption, failClearOption, stateOption});
    parser.process(app);

    if (!parser.isSet(linkOption))
        fail(QStringLiteral("--link is required"));
    const QString link = parser.value(linkOption);
    const int baud = intValue(parser.value(baudOption), QStringLiteral("baud"), 50, 4'000'000);
    const int delayMs = intValue(parser.value(delayOption), QStringLiteral("delay-ms"), 0, 600'000);

    sim::BusOptions options;
    for (const QString& entry : parser.values(terminalOption)) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        const int address = intValue(eq < 0 ? entry : entry.left(eq), QStringLiteral("terminal"), 0, 255);
        options.terminals.insert(address, eq < 0 ? QString() : entry.mid(eq + 1));
    }
    for (const QString& value : parser.values(silentOption))
        options.silent.insert(intValue(value, QStringLiteral("silent"), 0, 255));
    for (const QString& value : parser.values(failClearOption))
        options.failClear.insert(intValue(value, QStringLiteral("fail-clear"), 0, 255));
    options.garblePercent = intValue(parser.value(garbleOption), QStringLiteral("garble"), 0, 100);
    options.nakPercent = intValue(parser.value(nakOption), QStringLiteral("nak"), 0, 100);
    options.seed = quint32(intValue(parser.value(seedOption), QStringLiteral("seed"), 0, INT_MAX));
    if (parser.isSet(cutOption))
        options.cutAfter = intValue(parser.value(cutOption), QStringLiteral("cut-after"), 0, INT_MAX);
    options.stateDir = parser.value(stateOption);
    if (!options.stateDir.isEmpty() && !QDir().mkpath(options.stateDir))
        fail(QStringLiteral("cannot create %1").arg(options.stateDir));

    sim::TerminalBus bus(options);
    QString error;
    if (!bus.load(&error))
        fail(error);

    struct sigaction action {};
    action.sa_handler = requestStop;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const Pty pty = openPty();
    makeLink(link, pty.slavePath);
    emitLine(QStringLiteral("ready ") + link);

    FrameDecoder decoder;
    char buffer[4096];
    while (!stopRequested) {
        pollfd pfd{pty.master, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, 200);
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(pty.master, buffer, sizeof buffer);
        if (n <= 0) {
            // EIO while no slave is open on some kernels; wait for the next open.
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const Clock::time_point received = Clock::now();
        decoder.append(QByteArray(buffer, n));
        for (auto r = decoder.next(); r.status != FrameDecoder::Status::NeedMore && !stopRequested;
             r = decoder.next()) {
            if (r.status != FrameDecoder::Status::Frame)
                continue;
            const auto answer = bus.handle(r.frame);
            if (!answer)
                continue;
            for (const QString& event : answer->events)
                emitLine(event);
            // The request itself took line time to arrive.
            sleepUntil(received + lineTime(frameSize(int(r.frame.payload.size())), baud) +
                       std::chrono::milliseconds(delayMs));
            pacedWrite(pty.master, answer->bytes, baud);
        }
    }

    ::unlink(link.toLocal8Bit().constData());
    ::close(pty.slave);
    ::close(pty.master);
    return 0;
}
