#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <optional>

namespace tallyfold {

// The follower's own copy of records it read while they could not be stored: one file a
// terminal under the host folder, appended, checksummed and flushed to disk with its folder
// before the terminal may be cleared past them. The entries drain into the table in order
// and the file shrinks to nothing once all are stored. Beside each file the terminal's
// position (the first number neither stored nor journaled) survives a restart.
//
// An entry is a header line "TFJ1 ADDRESS FIRST NEXT BYTES CRC32\n" and BYTES bytes of the
// record file, records FIRST..NEXT-1; an entry cut short by a power loss fails its length or
// checksum and is dropped with everything after it, never stored.
//
// One journal serves all of a follower's threads; each terminal is worked on by one thread.
class FollowJournal {
public:
    // `limitBytes` bounds all files together.
    FollowJournal(QString folder, qint64 limitBytes);
    ~FollowJournal();
    FollowJournal(const FollowJournal&) = delete;
    FollowJournal& operator=(const FollowJournal&) = delete;

    // Creates the folder and takes its lock (one follower per folder); raises Error(FileIo) with the reason.
    void open();
    QString folder() const { return folder_; }
    qint64 limit() const { return limit_; }

    // Where a terminal's round and drain files go.
    QString roundFile(const QString& address) const;
    QString drainFile(const QString& address) const;

    // The first number neither stored nor journaled, as last kept; 0 when never.
    quint32 position(const QString& address);
    // Kept for a restart; a lost update only means records read again, so it is not flushed.
    void setPosition(const QString& address, quint32 position);

    // Appends records FIRST..NEXT-1 (`lines`, the record file's bytes) and flushes them; false with the reason
    // when the disk is full or the bound is reached. Nothing half-written counts.
    bool append(const QString& address, quint32 first, quint32 next, const QByteArray& lines, QString* reason);
    // Records journaled and not yet drained.
    bool holds(const QString& address);
    qint64 recordsHeld(const QString& address);
    qint64 recordsHeld();

    struct Chunk {
        qint64 end = 0;    // where the next chunk begins
        qint64 lines = 0;  // records in the chunk file
    };
    // Writes the oldest undrained records of `address`, whole entries up to about `maxBytes`, into
    // drainFile(address); empty when none wait. Raises Error(FileIo).
    std::optional<Chunk> take(const QString& address, qint64 maxBytes);
    // The chunk is stored: the file shrinks to nothing once all of it is.
    void drained(const QString& address, const Chunk& chunk);

    // The addresses with records waiting, for those not followed any more.
    QStringList waiting();

private:
    struct Terminal;
    Terminal& terminal(const QString& address);  // mutex_ held
    void load(Terminal& t);
    void writeState(Terminal& t, bool sync);
    qint64 bytes() const;  // mutex_ held

    QString folder_;
    qint64 limit_;
    int lockFd_ = -1;
    QMutex mutex_;
    QHash<QString, Terminal*> terminals_;
};

}  // namespace tallyfold
