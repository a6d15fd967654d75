#include "platform/durable_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tallyfold {

namespace {

constexpr qint64 kChunk = 1 << 16;

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A rename that fails with EEXIST rather than replace; where the file system
// cannot do that in one call, a hard link does the same.
bool renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    ::unlink(from.constData());
    return true;
}

}  // namespace

bool writeFully(int fd, const char* data, qint64 size, qint64 at) {
    while (size > 0) {
        const ssize_t n = at < 0 ? ::write(fd, data, size_t(size)) : ::pwrite(fd, data, size_t(size), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
        if (at >= 0)
            at += n;
    }
    return true;
}

bool syncFolder(const QString& folder) {
    const int dir = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::fsync(dir) == 0;
    const int error = errno;
    if (dir >= 0)
        ::close(dir);
    errno = error;
    return synced;
}

DurableFile::DurableFile(QString target, Existing existing) : target_(std::move(target)), existing_(existing) {}

DurableFile::~DurableFile() {
    cancel();
}

bool DurableFile::open() {
    cancel();
    what_.clear();
    reason_.clear();
    path_.clear();
    size_ = 0;
    hash_.reset();
    // A name of this process's own, created fresh: never another writer's half file.
    for (int n = 0; n < 100; ++n) {
        const QString name = QStringLiteral("%1.%2-%3.partial").arg(target_).arg(::getpid()).arg(n);
        fd_ = ::open(encoded(name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temporary_ = name;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    return fail(QStringLiteral("cannot create a file beside %1").arg(target_), errno);
}

bool DurableFile::write(const QByteArray& bytes) {
    if (fd_ < 0)
        return false;
    if (!writeFully(fd_, bytes.constData(), bytes.size()))
        return fail(QStringLiteral("cannot write %1").arg(target_), errno);
    size_ += bytes.size();
    hash_.addData(bytes);
    return true;
}

bool DurableFile::commit() {
    if (fd_ < 0)
        return false;
    if (::fsync(fd_) != 0)
        return fail(QStringLiteral("cannot flush %1 to the disk").arg(target_), errno);
    // Flushed pages may go: the read-back then comes from the disk, not from memory.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
        return fail(QStringLiteral("cannot write %1").arg(target_), errno);
    if (!placed())
        return false;
    // From here the file has its name: one that is not proven whole must not stay as if it were.
    const QString folder = QFileInfo(path_).absolutePath();
    const bool synced = syncFolder(folder);
    const int error = errno;
    if (!synced || !readBack()) {
        ::unlink(encoded(path_).constData());
        path_.clear();
        return synced ? false : fail(QStringLiteral("cannot flush the folder %1 to the disk").arg(folder), error);
    }
    return true;
}

void DurableFile::cancel() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.isEmpty())
        ::unlink(encoded(temporary_).constData());
    temporary_.clear();
}

bool DurableFile::fail(const QString& what, int error) {
    cancel();
    what_ = what;
    reason_ = error ? systemText(error) : QString();
    return false;
}

bool DurableFile::placed() {
    const QByteArray from = encoded(temporary_);
    if (existing_ == Existing::Replace) {
        if (::rename(from.constData(), encoded(target_).constData()) != 0)
            return fail(QStringLiteral("cannot rename %1 to %2").arg(temporary_, target_), errno);
        path_ = target_;
        temporary_.clear();
        return true;
    }
    const QFileInfo target(target_);
    const QString stem = target.path() + QLatin1Char('/') + target.completeBaseName();
    const QString suffix = target.suffix().isEmpty() ? QString() : QLatin1Char('.') + target.suffix();
    for (int n = 1; n <= 100; ++n) {
        const QString name = n == 1 ? target_ : stem + QStringLiteral("-%1").arg(n) + suffix;
        if (renameNoReplace(from, encoded(name))) {
            path_ = name;
            temporary_.clear();
            return true;
        }
        if (errno != EEXIST)
            return fail(QStringLiteral("cannot rename %1 to %2").arg(temporary_, name), errno);
    }
    return fail(QStringLiteral("cannot place %1: its name and 99 numbered ones are taken").arg(target_), EEXIST);
}

bool DurableFile::readBack() {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read back %1: %2").arg(path_, file.errorString()), 0);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 size = 0;
    for (;;) {
        const QByteArray chunk = file.read(kChunk);
        if (chunk.isEmpty()) {
            if (file.error() != QFileDevice::NoError)
                return fail(QStringLiteral("cannot read back %1: %2").arg(path_, file.errorString()), 0);
            break;
        }
        size += chunk.size();
        hash.addData(chunk);
    }
    if (size != size_ || hash.result() != hash_.result())
        return fail(QStringLiteral("%1 read back is not what was written (%2 bytes read, %3 written)")
                        .arg(path_)
                        .arg(size)
                        .arg(size_),
                    0);
    return true;
}

QString copyDurably(const QString& source, const QString& target, DurableFile::Existing existing, QString* error) {
    QFile in(source);
    DurableFile out(target, existing);
    auto failed = [&](const QString& why) {
        if (error)
            *error = why;
        return QString();
    };
    if (!in.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    if (!out.open())
        return failed(out.errorString());
    for (;;) {
        const QByteArray chunk = in.read(kChunk);
        if (chunk.isEmpty()) {
            if (in.error() != QFileDevice::NoError)
                return failed(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
            break;
        }
        if (!out.write(chunk))
            return failed(out.errorString());
    }
    if (!out.commit())
        return failed(out.errorString());
    return out.path();
}

}  // namespace tallyfold
