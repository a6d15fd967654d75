#include "records/follow_journal.h"

#include "platform/durable_file.h"
#include "platform/error.h"
#include "platform/log_categories.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <cerrno>
#include <cstring>

namespace tallyfold {

namespace {

constexpr qint64 kHeaderMax = 96;
constexpr qint64 kStateBytes = 32;  // "position drained\n", fixed width so it is rewritten in place

QString systemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

quint32 checksum(const char* data, qint64 size) {
    return quint32(crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(data), z_size_t(size)));
}

bool readAll(int fd, char* data, qint64 size, qint64 at) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        at += n;
    }
    return true;
}

struct Entry {
    quint32 first = 0;
    quint32 next = 0;
    qint64 payloadAt = 0;
    qint64 bytes = 0;
    qint64 end = 0;
};

// The entry at `at`, checksum and all; empty when it is cut short or damaged.
std::optional<Entry> readEntry(int fd, qint64 at, qint64 size, QByteArray* payload) {
    char head[kHeaderMax];
    const qint64 headBytes = std::min(kHeaderMax, size - at);
    if (headBytes <= 0 || !readAll(fd, head, headBytes, at))
        return std::nullopt;
    const char* newline = static_cast<const char*>(std::memchr(head, '\n', size_t(headBytes)));
    if (!newline)
        return std::nullopt;
    const QList<QByteArray> fields = QByteArray(head, newline - head).split(' ');
    if (fields.size() != 6 || fields[0] != "TFJ1")
        return std::nullopt;
    bool ok[4] = {};
    Entry e;
    e.first = fields[2].toUInt(&ok[0]);
    e.next = fields[3].toUInt(&ok[1]);
    e.bytes = fields[4].toLongLong(&ok[2]);
    const quint32 crc = fields[5].toUInt(&ok[3], 16);
    e.payloadAt = at + (newline - head) + 1;
    e.end = e.payloadAt + e.bytes;
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || e.next < e.first || e.bytes < 0 || e.end > size)
        return std::nullopt;
    QByteArray data(e.bytes, Qt::Uninitialized);
    if (!readAll(fd, data.data(), e.bytes, e.payloadAt) || checksum(data.constData(), e.bytes) != crc)
        return std::nullopt;
    if (payload)
        *payload = std::move(data);
    return e;
}

}  // namespace

struct FollowJournal::Terminal {
    QString address;
    QString path;
    int fd = -1;
    int stateFd = -1;
    qint64 size = 0;     // the end of the last whole entry
    qint64 drained = 0;  // entries before this offset are stored
    qint64 records = 0;  // records after `drained`
    quint32 position = 0;
};

FollowJournal::FollowJournal(QString folder, qint64 limitBytes) : folder_(std::move(folder)), limit_(limitBytes) {}

FollowJournal::~FollowJournal() {
    for (Terminal* t : std::as_const(terminals_)) {
        if (t->fd >= 0)
            ::close(t->fd);
        if (t->stateFd >= 0)
            ::close(t->stateFd);
        delete t;
    }
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

void FollowJournal::open() {
    if (!QDir().mkpath(folder_))
        throw Error(errc::FileIo, QStringLiteral("cannot create the journal's folder %1").arg(folder_));
    const QString lockPath = QDir(folder_).filePath(QStringLiteral("follow.lock"));
    lockFd_ = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (lockFd_ < 0)
        throw Error(errc::FileIo, QStringLiteral("cannot open %1: %2").arg(lockPath, systemReason(errno)));
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        QFile holder(lockPath);
        const QByteArray pid = holder.open(QIODevice::ReadOnly) ? holder.readAll().trimmed() : QByteArray();
        throw Error(errc::FileIo, QStringLiteral("another follower (process %1) keeps its journal in %2")
                                      .arg(pid.isEmpty() ? QStringLiteral("?") : QString::fromLatin1(pid), folder_));
    }
    // Every terminal's journal is looked at now: what waits is counted, and torn entries set aside, whether
    // or not the terminal is listed.
    {
        const QMutexLocker lock(&mutex_);
        for (const QString& name : QDir(folder_).entryList({QStringLiteral("*.journal")}, QDir::Files))
            terminal(QUrl::fromPercentEncoding(name.chopped(8).toLatin1()));
    }
    // A round's file that a killed follower was writing: nobody else writes here.
    for (const QString& partial : QDir(folder_).entryList({QStringLiteral("*.partial")}, QDir::Files))
        QFile::remove(QDir(folder_).filePath(partial));
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(lockFd_, 0) != 0 || !writeFully(lockFd_, pid.constData(), pid.size(), 0))
        qCWarning(lcOps).noquote() << "cannot write the follower's process number into" << lockPath;
}

QString FollowJournal::roundFile(const QString& address) const {
    return QDir(folder_).filePath(QString::fromLatin1(QUrl::toPercentEncoding(address)) + QStringLiteral(".round"));
}

QString FollowJournal::drainFile(const QString& address) const {
    return QDir(folder_).filePath(QString::fromLatin1(QUrl::toPercentEncoding(address)) + QStringLiteral(".drain"));
}

FollowJournal::Terminal& FollowJournal::terminal(const QString& address) {
    Terminal*& t = terminals_[address];
    if (!t) {
        t = new Terminal;
        t->address = address;
        t->path =
            QDir(folder_).filePath(QString::fromLatin1(QUrl::toPercentEncoding(address)) + QStringLiteral(".journal"));
        load(*t);
    }
    return *t;
}

void FollowJournal::load(Terminal& t) {
    const bool existed = QFile::exists(t.path);
    t.fd = ::open(QFile::encodeName(t.path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    const QString statePath = t.path.chopped(8) + QStringLiteral(".state");
    t.stateFd = ::open(QFile::encodeName(statePath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (t.fd < 0 || t.stateFd < 0)
        throw Error(errc::FileIo, QStringLiteral("cannot open %1: %2").arg(t.path, systemReason(errno)));
    if (!existed)
        syncFolder(folder_);  // the new file's name must outlive a power loss as its entries do
    char state[kStateBytes + 1] = {};
    qint64 drained = 0;
    if (readAll(t.stateFd, state, kStateBytes, 0)) {
        const QList<QByteArray> fields = QByteArray(state).simplified().split(' ');
        if (fields.size() == 2) {
            t.position = fields[0].toUInt();
            drained = fields[1].toLongLong();
        }
    }
    struct stat st {};
    ::fstat(t.fd, &st);
    const qint64 fileSize = st.st_size;
    qint64 at = 0;
    bool drainedIsBoundary = drained == 0;
    while (at < fileSize) {
        const auto e = readEntry(t.fd, at, fileSize, nullptr);
        if (!e)
            break;
        if (at >= drained)
            t.records += e->next - e->first;
        at = e->end;
        drainedIsBoundary = drainedIsBoundary || at == drained;
    }
    if (at < fileSize) {
        // Cut short by a power loss mid-write: set aside, never stored, so the next entry follows the last whole one.
        QByteArray tail(fileSize - at, Qt::Uninitialized);
        const QString aside = t.path + QStringLiteral(".cut-%1").arg(QDateTime::currentSecsSinceEpoch());
        QFile kept(aside);
        if (!readAll(t.fd, tail.data(), tail.size(), at) || !kept.open(QIODevice::WriteOnly) ||
            kept.write(tail) != tail.size() || !kept.flush())
            throw Error(errc::FileIo,
                        QStringLiteral("cannot set aside the entry cut short at the end of %1").arg(t.path));
        qCWarning(lcOps).noquote() << "the journal" << t.path << "ends in" << tail.size()
                                   << "bytes of an entry cut short; they are set aside in" << aside;
        if (::ftruncate(t.fd, at) != 0 || ::fsync(t.fd) != 0)
            throw Error(errc::FileIo, QStringLiteral("cannot drop the entry cut short at the end of %1: %2")
                                          .arg(t.path, systemReason(errno)));
    }
    t.size = at;
    if (!drainedIsBoundary || drained > at) {
        // A lost update of the state: draining again from the start stores nothing twice.
        drained = 0;
        t.records = 0;
        for (qint64 p = 0; p < t.size;) {
            const auto e = readEntry(t.fd, p, t.size, nullptr);
            t.records += e->next - e->first;
            p = e->end;
        }
    }
    t.drained = drained;
}

void FollowJournal::writeState(Terminal& t, bool sync) {
    QByteArray state = QByteArray::number(t.position) + ' ' + QByteArray::number(t.drained);
    state = state.leftJustified(kStateBytes - 1, ' ') + '\n';
    if (!writeFully(t.stateFd, state.constData(), state.size(), 0) || (sync && ::fsync(t.stateFd) != 0))
        qCWarning(lcOps).noquote() << "cannot keep the position of terminal" << t.address << ":" << systemReason(errno);
}

quint32 FollowJournal::position(const QString& address) {
    const QMutexLocker lock(&mutex_);
    return terminal(address).position;
}

void FollowJournal::setPosition(const QString& address, quint32 position) {
    const QMutexLocker lock(&mutex_);
    Terminal& t = terminal(address);
    if (t.position == position)
        return;
    t.position = position;
    writeState(t, false);
}

bool FollowJournal::append(const QString& address, quint32 first, quint32 next, const QByteArray& lines,
                           QString* reason) {
    QByteArray entry = "TFJ1 " + address.toUtf8() + ' ' + QByteArray::number(first) + ' ' + QByteArray::number(next) +
                       ' ' + QByteArray::number(lines.size()) + ' ' +
                       QByteArray::number(checksum(lines.constData(), lines.size()), 16) + '\n';
    entry += lines;
    const QMutexLocker lock(&mutex_);
    Terminal& t = terminal(address);
    const qint64 total = bytes();
    if (total + entry.size() > limit_) {
        *reason = QStringLiteral("the journal in %1 is full: %2 MB of its bound of %3 MB wait for the database")
                      .arg(folder_)
                      .arg(total / (1 << 20))
                      .arg(limit_ / (1 << 20));
        return false;
    }
    if (!writeFully(t.fd, entry.constData(), entry.size(), t.size) || ::fsync(t.fd) != 0) {
        *reason = QStringLiteral("cannot write the journal %1: %2").arg(t.path, systemReason(errno));
        // Whatever part of the entry reached the file is cut off again, so the next one follows a whole entry.
        if (::ftruncate(t.fd, t.size) != 0)
            qCWarning(lcOps).noquote() << "cannot cut the journal" << t.path << "back:" << systemReason(errno);
        return false;
    }
    t.size += entry.size();
    t.records += next - first;
    return true;
}

bool FollowJournal::holds(const QString& address) {
    const QMutexLocker lock(&mutex_);
    const Terminal& t = terminal(address);
    return t.drained < t.size;
}

qint64 FollowJournal::recordsHeld(const QString& address) {
    const QMutexLocker lock(&mutex_);
    return terminal(address).records;
}

qint64 FollowJournal::recordsHeld() {
    const QMutexLocker lock(&mutex_);
    qint64 records = 0;
    for (const Terminal* t : std::as_const(terminals_))
        records += t->records;
    return records;
}

qint64 FollowJournal::bytes() const {
    qint64 total = 0;
    for (const Terminal* t : std::as_const(terminals_))
        total += t->size;
    return total;
}

std::optional<FollowJournal::Chunk> FollowJournal::take(const QString& address, qint64 maxBytes) {
    int fd = -1;
    qint64 from = 0, size = 0;
    {
        const QMutexLocker lock(&mutex_);
        const Terminal& t = terminal(address);
        fd = t.fd;
        from = t.drained;
        size = t.size;
    }
    if (from >= size)
        return std::nullopt;
    Chunk chunk;
    QByteArray lines;
    for (qint64 at = from; at < size && lines.size() < maxBytes;) {
        QByteArray payload;
        const auto e = readEntry(fd, at, size, &payload);
        if (!e)
            throw Error(errc::FileIo, QStringLiteral("the journal of terminal %1 cannot be read at byte %2: %3")
                                          .arg(address)
                                          .arg(at)
                                          .arg(systemReason(errno)));
        lines += payload;
        chunk.lines += e->next - e->first;
        chunk.end = at = e->end;
    }
    QFile file(drainFile(address));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(lines) != lines.size() || !file.flush())
        throw Error(errc::FileIo, QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    return chunk;
}

void FollowJournal::drained(const QString& address, const Chunk& chunk) {
    const QMutexLocker lock(&mutex_);
    Terminal& t = terminal(address);
    t.records -= chunk.lines;
    t.drained = chunk.end;
    if (t.drained >= t.size) {
        // All stored: the file starts again empty, flushed before the state says so.
        if (::ftruncate(t.fd, 0) == 0 && ::fsync(t.fd) == 0) {
            t.size = 0;
            t.drained = 0;
            t.records = 0;
            writeState(t, true);
            return;
        }
        qCWarning(lcOps).noquote() << "cannot empty the journal" << t.path << ":" << systemReason(errno);
    }
    writeState(t, false);
}

QStringList FollowJournal::waiting() {
    // Every journal of the folder was loaded when it was opened.
    const QMutexLocker lock(&mutex_);
    QStringList addresses;
    for (const Terminal* t : std::as_const(terminals_))
        if (t->records > 0)
            addresses << t->address;
    return addresses;
}

}  // namespace tallyfold
