#pragma once

#include "outside/serial/device_protocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <mutex>
#include <optional>
#include <random>

namespace tallyfold::sim {

// Every swipe taken on any bus, one record a line, for a test to hold against what the
// PC stored. Each line is one write(2) on an O_APPEND descriptor: it is whole on disk
// the moment the swipe counts, whatever ends the simulator afterwards.
class SwipeLog {
public:
    SwipeLog() = default;
    ~SwipeLog();
    SwipeLog(const SwipeLog&) = delete;
    SwipeLog& operator=(const SwipeLog&) = delete;

    bool open(const QString& path, QString* error);
    // False when the line could not be written whole; the swipe is then not taken.
    bool append(const QByteArray& record);

private:
    QString path_;
    int fd_ = -1;
    bool failing_ = false;
    std::mutex mutex_;
};

// The cards swiped in the current minute on every bus: the store takes a card's two swipes
// in one minute for one record, whichever terminals took them, so no terminal repeats one.
class MinuteCards {
public:
    // False when `card` was already swiped in the minute `stamp`; a new minute forgets the last.
    bool claim(const QByteArray& stamp, int card) {
        const std::lock_guard lock(mutex_);
        if (stamp != stamp_) {
            stamp_ = stamp;
            cards_.clear();
        }
        return !std::exchange(cards_[card], true);
    }

private:
    std::mutex mutex_;
    QByteArray stamp_;
    QHash<int, bool> cards_;
};

struct BusOptions {
    // Address -> record file; an empty path is a terminal without records.
    QHash<int, QString> terminals;
    QSet<int> silent;
    QSet<int> failClear;
    int garblePercent = 0;
    int nakPercent = 0;
    quint32 seed = 1;
    std::optional<int> cutAfter;
    // How many transfers cutAfter cuts, each after that many records.
    int cutTimes = 1;
    // Like cutAfter, but the connection is hung up instead and the terminal goes on answering.
    std::optional<int> dropAfter;
    QString stateDir;
    // Records a terminal holds before it refuses swipes; loaded records are held regardless.
    quint32 capacity = 60000;
    // How far the terminals' clocks are off at start, in seconds; setting a clock puts it right.
    qint64 clockOffset = 0;
    // False: the terminals know only the 64-record reads, as older ones do.
    bool longReads = true;
    SwipeLog* swipeLog = nullptr;
    MinuteCards* minuteCards = nullptr;
};

// The terminals sharing one line: turns each request into the addressed
// terminal's answer, with the faults the options ask for, while the terminals
// take swipes from another thread.
class TerminalBus {
public:
    struct Answer {
        QByteArray bytes;
        QStringList events;
        // Close the connection once these bytes are out.
        bool hangUp = false;
    };

    explicit TerminalBus(BusOptions options);

    bool load(QString* error);
    // Empty when nobody answers: unknown or silent address, or a cut transfer.
    std::optional<Answer> handle(const serial::Frame& request);
    // Every terminal that is not silent takes one swipe, stamped with the time it is taken
    // (a silent terminal is out of order); returns the events.
    QStringList swipe();
    // Brings the state files up to date with the swipes taken since the last call.
    void saveState();

private:
    struct Terminal {
        QList<QByteArray> records;
        // Numbers of records.first() and of the next swipe.
        quint32 first = 0;
        quint32 next = 0;
        // Records sent since the last count or span request; a cut waits for the next one.
        qint64 passSent = 0;
        bool cut = false;
        // Said `full` since the last clear.
        bool fullTold = false;
        // The terminal's clock less the PC's, in seconds.
        qint64 clockOffset = 0;
        std::mt19937 cards;
        // The minute whose loaded records were claimed in MinuteCards.
        QByteArray usedStamp;
        // Changes made, and the last one the state file was queued with.
        quint64 version = 0;
        quint64 queuedVersion = 0;
    };
    struct Snapshot {
        int address = 0;
        quint64 version = 0;
        QList<QByteArray> records;
    };

    std::optional<Answer> serve(int address, Terminal& terminal, const serial::Frame& request);
    std::optional<Answer> read(Terminal& terminal, const serial::Frame& request, quint32 base,
                               serial::Command replyCommand, int maxCount);
    QStringList takeSwipe(int address, Terminal& terminal, const QDateTime& now);
    void cleared(int address, Terminal& terminal);
    bool roll(int percent);
    void garble(QByteArray& bytes);
    bool write(const QList<Snapshot>& snapshots);

    BusOptions options_;
    // Guards everything below but the state files: held while an answer is worked out or a
    // swipe taken, never while an answer crosses the line.
    std::mutex mutex_;
    QHash<int, Terminal> terminals_;
    std::mt19937 random_;
    int cutsMade_ = 0;
    bool dropUsed_ = false;
    // Orders the writers of the state files, so an older snapshot never lands after a newer one.
    std::mutex stateMutex_;
    QHash<int, quint64> writtenVersion_;
};

}  // namespace tallyfold::sim
