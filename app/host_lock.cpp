#include "host_lock.h"

#include "platform/log_categories.h"
#include "run.h"

#include <fcntl.h>
#include <unistd.h>
#include <QFile>
#include <QSysInfo>
#include <cerrno>

namespace tallyfold {

bool HostLock::take(int fd) {
    // An open-file-description lock: it is not lost when some other descriptor of
    // the file is closed, and network file systems pass it on to the server.
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

QByteArray HostLock::holderText() {
    return QByteArray::number(::getpid()) + '\n' + QSysInfo::machineHostName().toUtf8() + '\n';
}

HostLock::HostLock(const QString& folder) {
    const QString path = fileIn(folder);
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw CommandFailure{QStringLiteral("cannot create the lock file %1: %2").arg(path, systemError(errno))};
    if (!take(fd_)) {
        const int error = errno;
        char text[256] = {};
        const ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
        ::close(fd_);
        fd_ = -1;
        if (error != EAGAIN && error != EACCES)
            throw CommandFailure{QStringLiteral("cannot lock %1: %2").arg(path, systemError(error))};
        const QStringList holder = QString::fromUtf8(text, n > 0 ? n : 0).split(QLatin1Char('\n'));
        const QString pid = holder.value(0).trimmed();
        const QString host = holder.value(1).trimmed();
        const QString who = pid.isEmpty() ? QStringLiteral("another tallyfold")
                            : host.isEmpty() || host == QSysInfo::machineHostName()
                                ? QStringLiteral("another tallyfold (process %1)").arg(pid)
                                : QStringLiteral("another tallyfold (process %1 on %2)").arg(pid, host);
        throw CommandFailure{QStringLiteral("%1 is working in %2; try again when it has finished").arg(who, folder),
                             QStringLiteral("refused")};
    }
    const QByteArray holder = holderText();
    // Only the message needs the holder's name: the lock holds whether or not it is written.
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, holder.constData(), size_t(holder.size()), 0) != holder.size())
        qCWarning(lcOps).noquote() << "could not name the holder in" << path << systemError(errno);
}

HostLock::~HostLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace tallyfold
