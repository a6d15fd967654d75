#include "records/row_writer.h"

#include "platform/connection.h"
#include "platform/error.h"

#include <pthread.h>
#include <QSqlError>

namespace tallyfold {

namespace {
constexpr std::size_t MaxQueued = 512;
const QString InsertRow =
    QStringLiteral("insert into Tcon_ConsumeDtl (MachAddr,Cardid,datadate,datatime) values (?,?,?,?)");
}  // namespace

RowWriter::RowWriter(const QString& connectionString) {
    thread_ = std::thread(&RowWriter::run, this, connectionString);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return opened_ || !openError_.isEmpty(); });
    if (!opened_) {
        const QString error = openError_;
        lock.unlock();
        thread_.join();
        throw Error(errc::Database, error);
    }
}

RowWriter::~RowWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void RowWriter::enqueue(RowJob job) {
    std::unique_lock lock(mutex_);
    if (queue_.size() >= MaxQueued) {
        readerWaiting_ = true;
        changed_.wait(lock, [this] { return queue_.size() < MaxQueued; });
        readerWaiting_ = false;
    }
    queue_.push_back(std::move(job));
    const bool wake = writerWaiting_;
    lock.unlock();
    if (wake)
        changed_.notify_all();
}

std::vector<RowResult> RowWriter::takeFinished() {
    std::lock_guard lock(mutex_);
    std::vector<RowResult> done;
    done.swap(finished_);
    return done;
}

std::vector<RowResult> RowWriter::finish() {
    std::unique_lock lock(mutex_);
    readerWaiting_ = true;
    if (writerWaiting_)
        changed_.notify_all();
    changed_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
    readerWaiting_ = false;
    std::vector<RowResult> done;
    done.swap(finished_);
    return done;
}

void RowWriter::run(QString connectionString) {
    pthread_setname_np(pthread_self(), "tallyfold-rows");
    std::unique_ptr<Connection> connection;
    try {
        connection = std::make_unique<Connection>(connectionString);
        connection->Open();
        connection->prepared(InsertRow);
    } catch (const Error& e) {
        connection.reset();
        std::lock_guard lock(mutex_);
        openError_ = e.description().isEmpty() ? QStringLiteral("cannot open the database") : e.description();
        changed_.notify_all();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        opened_ = true;
    }
    changed_.notify_all();
    for (;;) {
        RowJob job;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty() && !stopping_) {
                writerWaiting_ = true;
                changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
                writerWaiting_ = false;
            }
            if (queue_.empty())
                break;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
        }
        RowResult result{job, false, QString()};
        QSqlQuery& insert = connection->prepared(InsertRow);
        insert.bindValue(0, job.address);
        insert.bindValue(1, job.card);
        insert.bindValue(2, job.dateText);
        insert.bindValue(3, job.storedDateTime);
        result.stored = insert.exec();
        if (!result.stored)
            result.error = insert.lastError().text().simplified();
        insert.finish();
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            finished_.push_back(std::move(result));
            --busy_;
            wake = readerWaiting_;
        }
        if (wake)
            changed_.notify_all();
    }
    connection.reset();
}

}  // namespace tallyfold
