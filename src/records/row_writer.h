#pragma once

#include <QString>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace tallyfold {

// One record row to store, and where it came from.
struct RowJob {
    qint64 lineNumber = 0;
    QString recordText;
    int address = 0;
    QString card;
    QString dateText;
    QString storedDateTime;
};

struct RowResult {
    RowJob job;
    bool stored = false;
    QString error;
};

// Stores rows on a connection of its own in a thread of its own, each row in
// its own transaction, committed and durable before the next one starts. The
// reading thread goes on with the next line while a row's commit waits for
// the disk, so the disk's flush rate, not the sum of both, sets the pace.
class RowWriter {
public:
    // Opens the writer's connection; raises when it cannot.
    explicit RowWriter(const QString& connectionString);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Queues a row; waits while too many rows are queued.
    void enqueue(RowJob job);
    // The rows finished since the last call, in the order they were queued.
    std::vector<RowResult> takeFinished();
    // Waits until every queued row is finished and returns those not yet taken.
    std::vector<RowResult> finish();

private:
    void run(QString connectionString);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<RowJob> queue_;
    std::vector<RowResult> finished_;
    std::size_t busy_ = 0;
    // Who sleeps on changed_: a wake-up is a system call, so only these get one.
    bool writerWaiting_ = false;
    bool readerWaiting_ = false;
    bool stopping_ = false;
    bool opened_ = false;
    QString openError_;
    std::thread thread_;
};

}  // namespace tallyfold
