#include "outside/port_claim.h"

#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>
#include <QThread>
#include <cerrno>
#include <cstring>

namespace tallyfold {

namespace {

constexpr qint64 kHolderGraceMs = 500;

int openLockFile(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
}

bool tryLock(int fd, int operation) {
    while (::flock(fd, operation | LOCK_NB) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

}  // namespace

PortClaim::PortClaim(const HostSettings& host, int port) : port_(port) {
    const QString folder = QDir(host.folder()).filePath(QStringLiteral("Source"));
    holdPath_ = QDir(folder).filePath(QStringLiteral("port-%1.hold").arg(port));
    wantPath_ = QDir(folder).filePath(QStringLiteral("port-%1.want").arg(port));
}

PortClaim::~PortClaim() {
    release();
}

void PortClaim::release() {
    // The hold first: a follower that sees nobody waiting must find the port free.
    if (holdFd_ >= 0)
        ::close(holdFd_);
    if (wantFd_ >= 0)
        ::close(wantFd_);
    holdFd_ = wantFd_ = -1;
    holding_ = false;
}

QString PortClaim::holder() const {
    QFile file(holdPath_);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine()).trimmed();
}

void PortClaim::writeHolder(const QByteArray& more) {
    // "PID PROGRAM ROLE": whoever waits learns who holds the port, and whether it hands it over.
    const QByteArray line = QByteArray::number(qint64(::getpid())) + ' ' +
                            QFile::encodeName(QCoreApplication::applicationName()) + ' ' +
                            (following_ ? "follower" : "operation") + '\n' + more;
    if (::ftruncate(holdFd_, 0) != 0 || !writeFully(holdFd_, line.constData(), line.size(), 0))
        return;  // only a name for whoever waits: the lock is what counts
}

QString PortClaim::borrow(const std::function<bool()>& stop, const std::function<void(const QString&)>& tell,
                          int boundMs) {
    release();
    lent_.clear();
    wantFd_ = openLockFile(wantPath_);
    holdFd_ = openLockFile(holdPath_);
    if (wantFd_ < 0 || holdFd_ < 0) {
        const int error = errno;
        release();
        // A host folder without Source/ has no follower either: nothing to share the port with.
        return error == ENOENT ? QString()
                               : QStringLiteral("cannot claim port %1: %2")
                                     .arg(port_)
                                     .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    QElapsedTimer waited;
    waited.start();
    bool told = false;
    while (!tryLock(wantFd_, LOCK_SH) || !tryLock(holdFd_, LOCK_EX)) {
        const QString who = holder();
        const QString name = who.left(who.lastIndexOf(QLatin1Char(' ')));  // "PID PROGRAM", its role left out
        // Another operation hands nothing over: told at once, as a port another program holds is. A moment's
        // grace, as a follower that has just taken the port may not have written its name yet.
        if (who.endsWith(QLatin1String(" operation")) && waited.elapsed() > kHolderGraceMs) {
            release();
            return QStringLiteral("port %1 is in use by process %2").arg(port_).arg(name);
        }
        if (!told && !who.endsWith(QLatin1String(" operation"))) {
            tell(QStringLiteral("port %1 is followed live%2; waiting for the follower to hand over the port")
                     .arg(port_)
                     .arg(who.isEmpty() ? QString() : QStringLiteral(" (process %1)").arg(name)));
            told = true;
        }
        if (stop && stop()) {
            release();
            return QStringLiteral("stopped while waiting for port %1").arg(port_);
        }
        if (waited.elapsed() > boundMs) {
            const QString who = holder();
            release();
            return QStringLiteral("port %1 was not handed over within %2 s%3")
                .arg(port_)
                .arg(boundMs / 1000)
                .arg(who.isEmpty() ? QString() : QStringLiteral("; process %1 holds it").arg(who));
        }
        QThread::msleep(20);
    }
    // What the follower lent the port with stays for every borrower until it takes the port back.
    QByteArray lentLines;
    QFile file(holdPath_);
    if (file.open(QIODevice::ReadOnly)) {
        file.readLine();  // the last holder
        lentLines = file.readAll();
    }
    const QList<QByteArray> lines = lentLines.split('\n');
    const QList<QByteArray> lender = lines.value(0).split(' ');
    // "lent PID HOST" and the positions: kept even when that follower died since, for one that is restarted
    // reads on from them; only a follower that stops cleanly says it follows no more.
    const bool alive = lender.size() == 3 && lender[0] == "lent";
    for (qsizetype i = 1; alive && i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].trimmed().split(' ');
        if (fields.size() == 2)
            lent_.insert(QString::fromUtf8(fields[0]), fields[1].toUInt());
    }
    holding_ = true;
    writeHolder(alive ? lentLines : QByteArray());
    return QString();
}

bool PortClaim::take(const QHash<QString, quint32>& storedBelow) {
    following_ = true;
    if (holding_)
        return true;
    if (holdFd_ < 0)
        holdFd_ = openLockFile(holdPath_);
    if (wantFd_ < 0)
        wantFd_ = openLockFile(wantPath_);
    // Lock files that cannot be made (a folder the follower may not write) share nothing: it follows as before.
    if (holdFd_ < 0 || wantFd_ < 0)
        return true;
    if (wanted() || !tryLock(holdFd_, LOCK_EX))
        return false;
    holding_ = true;
    // Written at once, not only when lending: should this follower die, a clear by hand still erases nothing
    // it has not stored.
    writeHolder(positionLines(storedBelow));
    return true;
}

QByteArray PortClaim::positionLines(const QHash<QString, quint32>& storedBelow) {
    QByteArray lines =
        "lent " + QByteArray::number(qint64(::getpid())) + ' ' + QSysInfo::machineHostName().toUtf8() + '\n';
    for (auto it = storedBelow.cbegin(); it != storedBelow.cend(); ++it)
        lines += it.key().toUtf8() + ' ' + QByteArray::number(it.value()) + '\n';
    return lines;
}

void PortClaim::forget() {
    if (holding_)
        writeHolder();
    release();
}

bool PortClaim::wanted() const {
    if (wantFd_ < 0)
        return false;
    if (!tryLock(wantFd_, LOCK_EX))
        return true;
    ::flock(wantFd_, LOCK_UN);
    return false;
}

void PortClaim::lend(const QHash<QString, quint32>& storedBelow) {
    if (!holding_)
        return;
    writeHolder(positionLines(storedBelow));
    ::flock(holdFd_, LOCK_UN);
    holding_ = false;
}

}  // namespace tallyfold
