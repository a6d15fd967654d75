#include "store/record_store.h"

#include "store/batch_writer.h"

#include "platform/connection_private.h"

#include <pthread.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>

namespace tallyfold {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A batch goes when it is full or its first row waited MaxDelay: a file fills it at once, a
// terminal's trickle goes within MaxDelay. A writer between batches takes what waits from HandOver rows.
constexpr std::size_t HandOver = 64;
constexpr auto MaxDelay = std::chrono::milliseconds(20);
// Beyond this the reader waits for the writer: memory stays flat however long the file.
// Twice the writer's batch (so that the next one is ready), and at least this many.
constexpr std::size_t MinQueued = 8192;
constexpr auto Slice = std::chrono::milliseconds(200);
// How often a wait handler runs while the reader waits.
constexpr auto HandlerSlice = std::chrono::milliseconds(5);

// Why the table cannot hold the row as read, or nothing. A NUL is the one character refused:
// PostgreSQL's text and its UTF-8 client encoding take every other, and a NUL kept in an
// SQLite text is cut off by whatever reads it as a C string, so no backend takes it.
QString unstorable(const StoreRow& row) {
    const std::pair<const QString*, const char*> fields[] = {
        {&row.card, "card number"}, {&row.dateText, "date"}, {&row.storedDateTime, "date and time"}};
    for (const auto& [text, name] : fields)
        if (text->contains(QChar(0)))
            return QStringLiteral("the database cannot hold the character NUL (code 0) in the %1")
                .arg(QLatin1String(name));
    return QString();
}

// Reads on the caller's thread and stores on a writer thread of its own, so
// that the next lines are read while a batch waits for its commit. The writer
// is stopped and joined when the store goes.
class BatchedRecordStore : public RecordStore {
public:
    // The writer opens its connection while the first lines are read; a failure to open comes with the next row.
    explicit BatchedRecordStore(const std::shared_ptr<Connection>& connection) {
        // An open PostgreSQL connection is borrowed while the store lives: a far server then
        // costs one session and no second set-up. Its owner does not use it meanwhile.
        ConnectionPrivate& d = ConnectionPrivate::of(*connection);
        if (d.provider() == ProviderKind::PostgreSQL && connection->State() == adStateOpen && d.lend())
            borrowed_ = connection;
        thread_ = std::jthread([this, cs = connection->ConnectionString()](std::stop_token stop) { run(stop, cs); });
    }

    ~BatchedRecordStore() override {
        thread_ = std::jthread();  // stopped and joined before the connection goes back
        if (!borrowed_)
            return;
        ConnectionPrivate::of(*borrowed_).giveBack();
        // The writer may have lost it for good: its owner gets it open if the server is back.
        if (borrowed_->State() != adStateOpen) {
            try {
                borrowed_->Open();
            } catch (const Error&) {
                // The owner's next statement says why.
            }
        }
    }

    void add(const StoreRow& row) override {
        const QString refused = unstorable(row);
        std::unique_lock lock(mutex_);
        if (!refused.isEmpty() && !failure_) {
            // Refused here, it never reaches a batch that would fail with it.
            results_.push_back(StoreResult{row, StoreVerdict::Rejected, refused});
            resultsReady_.store(true, std::memory_order_release);
            return;
        }
        while (queued_.size() >= std::max(MinQueued, 2 * maxBatch_) && !failure_)
            waitSlice(lock);
        if (failure_)
            throw *failure_;
        const bool first = queued_.empty();
        if (first)
            oldest_ = SteadyClock::now();
        queued_.push_back(row);
        // An idle writer learns of the first row, to take it within MaxDelay, and of a full batch.
        const bool wake = writerIdle_ && (first || queued_.size() == maxBatch_);
        lock.unlock();
        if (wake)
            writerWakes_.notify_one();
    }

    std::vector<StoreResult> takeResults() override {
        std::vector<StoreResult> out;
        if (!resultsReady_.load(std::memory_order_acquire))
            return out;
        std::lock_guard lock(mutex_);
        out.swap(results_);
        resultsReady_.store(false, std::memory_order_relaxed);
        return out;
    }

    void finish() override {
        std::unique_lock lock(mutex_);
        flushing_ = true;
        writerWakes_.notify_one();
        while ((!queued_.empty() || inFlight_) && !failure_)
            waitSlice(lock);
        flushing_ = false;
        if (failure_)
            throw *failure_;
    }

    void setWaitHandler(std::function<void()> handler) override { waitHandler_ = std::move(handler); }

    std::vector<std::size_t> missing(const std::vector<StoreRow>& rows) override {
        // Rows refused before they were sent are missing; the database is asked about the others only.
        std::vector<std::size_t> refused, asked;
        for (std::size_t i = 0; i < rows.size(); ++i)
            (unstorable(rows[i]).isEmpty() ? asked : refused).push_back(i);
        if (refused.empty())
            return missingOf(rows);
        std::vector<StoreRow> sendable;
        sendable.reserve(asked.size());
        for (std::size_t i : asked)
            sendable.push_back(rows[i]);
        for (std::size_t i : missingOf(sendable))
            refused.push_back(asked[i]);
        std::sort(refused.begin(), refused.end());
        return refused;
    }

private:
    std::vector<std::size_t> missingOf(const std::vector<StoreRow>& rows) {
        finish();
        std::unique_lock lock(mutex_);
        answer_.reset();
        verify_ = &rows;
        writerWakes_.notify_one();
        while (!answer_ && !failure_)
            waitSlice(lock);
        verify_ = nullptr;
        if (failure_)
            throw *failure_;
        return std::move(*answer_);
    }

    // Each wait is bounded by the writer's: its statements by their timeouts, its retries by Connect Timeout.
    void waitSlice(std::unique_lock<std::mutex>& lock) {
        if (!waitHandler_) {
            readerWakes_.wait_for(lock, Slice);
            return;
        }
        readerWakes_.wait_for(lock, HandlerSlice);
        lock.unlock();
        waitHandler_();
        lock.lock();
    }

    void fail(const StoreFailed& failure) {
        std::lock_guard lock(mutex_);
        failure_ = failure;
        queued_.clear();
        inFlight_ = 0;
        readerWakes_.notify_all();
    }

    bool checkAsked() const { return verify_ && !answer_; }
    // A full batch, a flush, or a row that waited MaxDelay.
    bool batchReady() const {
        return !queued_.empty() &&
               (queued_.size() >= maxBatch_ || flushing_ || SteadyClock::now() - oldest_ >= MaxDelay);
    }

    // Waits for a batch to take, a check to answer or the end; false at the end.
    bool nextJob(const std::stop_token& stop, std::vector<StoreRow>& batch, const std::vector<StoreRow>*& verify) {
        std::unique_lock lock(mutex_);
        writerIdle_ = true;
        while (!stop.stop_requested() && !checkAsked() && !batchReady()) {
            if (queued_.empty())
                writerWakes_.wait(lock, stop, [&] { return checkAsked() || !queued_.empty(); });
            else
                writerWakes_.wait_until(lock, stop, oldest_ + MaxDelay, [&] { return checkAsked() || batchReady(); });
        }
        writerIdle_ = false;
        if (stop.stop_requested())
            return false;
        if (checkAsked())
            verify = verify_;
        else
            take(batch);
        return true;
    }

    void take(std::vector<StoreRow>& batch) {
        const std::size_t n = std::min(queued_.size(), maxBatch_);
        batch.assign(std::make_move_iterator(queued_.begin()), std::make_move_iterator(queued_.begin() + n));
        queued_.erase(queued_.begin(), queued_.begin() + std::ptrdiff_t(n));
        oldest_ = SteadyClock::now();
        inFlight_ += n;
        readerWakes_.notify_one();  // room in the queue
    }

    // The next batch if one can go at once, so that the open one's COMMIT travels with it:
    // while a batch travels only a full one (more rows come meanwhile), after it what waits.
    bool takeReady(const std::stop_token& stop, std::vector<StoreRow>& batch, std::size_t least) {
        std::lock_guard lock(mutex_);
        if (stop.stop_requested() || queued_.empty() || (queued_.size() < least && !flushing_))
            return false;
        take(batch);
        return true;
    }

    bool awaitRows(const std::stop_token& stop, std::vector<StoreRow>& batch) {
        std::unique_lock lock(mutex_);
        writerIdle_ = true;
        writerWakes_.wait_until(lock, stop, SteadyClock::now() + MaxDelay,
                                [&] { return flushing_ || checkAsked() || queued_.size() >= maxBatch_; });
        writerIdle_ = false;
        if (stop.stop_requested() || queued_.empty() || checkAsked())
            return false;
        take(batch);
        return true;
    }

    std::size_t unaccounted(const BatchWriter& writer) {
        std::lock_guard lock(mutex_);
        return writer.unsettled() == 0 ? inFlight_ : 0;
    }

    void deliver(std::vector<StoreResult>&& done) {
        std::lock_guard lock(mutex_);
        inFlight_ -= std::min(inFlight_, done.size());
        results_.insert(results_.end(), std::make_move_iterator(done.begin()), std::make_move_iterator(done.end()));
        resultsReady_.store(true, std::memory_order_release);
    }

    void run(const std::stop_token& stop, const QString& connectionString) {
        pthread_setname_np(pthread_self(), "tallyfold-rows");
        std::optional<BatchWriter> writer;
        if (borrowed_)
            ConnectionPrivate::of(*borrowed_).borrowHere();
        try {
            if (borrowed_)
                writer.emplace(borrowed_, [stop] { return stop.stop_requested(); });
            else
                writer.emplace(connectionString, [stop] { return stop.stop_requested(); });
        } catch (const DatabaseError& e) {
            fail(StoreFailed(e.failure(), e.description()));
            return;
        } catch (const Error& e) {
            fail(StoreFailed(SqlFailure::Refused, e.description()));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            maxBatch_ = writer->maxBatch();
        }
        std::optional<BatchWriter::Batch> next;
        for (;;) {
            try {
                if (!next) {
                    // Every row taken has its verdict by now: one without would hold finish() for ever.
                    if (const std::size_t lost = unaccounted(*writer)) {
                        fail(StoreFailed(SqlFailure::Lost,
                                         QStringLiteral("%1 rows were sent to the database and not accounted for; "
                                                        "they count as not stored")
                                             .arg(lost)));
                        break;
                    }
                    std::vector<StoreRow> rows;
                    const std::vector<StoreRow>* verify = nullptr;
                    if (!nextJob(stop, rows, verify))
                        break;
                    if (verify) {
                        std::vector<std::size_t> absent = writer->missing(*verify);
                        std::lock_guard lock(mutex_);
                        answer_ = std::move(absent);
                        readerWakes_.notify_one();
                        continue;
                    }
                    next = writer->prepare(std::move(rows));
                }
                const BatchWriter::Batch batch = std::move(*next);
                next.reset();
                // The next batch is written while this one travels.
                deliver(writer->store(batch, [&] {
                    std::vector<StoreRow> rows;
                    if (takeReady(stop, rows, maxBatch_))
                        next = writer->prepare(std::move(rows));
                }));
                // With nothing held open, a reader that is behind gets MaxDelay to fill a batch
                // before the batches in flight are waited for; else what waits goes with the COMMIT.
                if (std::vector<StoreRow> rows; !next && (writer->sentWhole() ? awaitRows(stop, rows)
                                                                              : takeReady(stop, rows, HandOver)))
                    next = writer->prepare(std::move(rows));
                // No batch waiting: commit now rather than hold the records' locks while the reader reads.
                // The batches in flight give their verdicts one by one, for the reader to count meanwhile.
                if (!next)
                    deliver(writer->commit([&] {
                        deliver(writer->takeFinished());
                        readerWakes_.notify_one();
                    }));
                readerWakes_.notify_one();
            } catch (const StoreFailed& e) {
                deliver(writer->takeFinished());  // committed before the failure: counted
                fail(e);
                break;
            } catch (const std::exception& e) {
                deliver(writer->takeFinished());
                fail(StoreFailed(SqlFailure::Refused, QString::fromLocal8Bit(e.what())));
                break;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable readerWakes_;
    std::condition_variable_any writerWakes_;
    std::deque<StoreRow> queued_;
    SteadyClock::time_point oldest_;
    std::size_t inFlight_ = 0;
    bool flushing_ = false;
    bool writerIdle_ = false;
    std::size_t maxBatch_ = 1;
    std::vector<StoreResult> results_;
    std::atomic<bool> resultsReady_ = false;
    const std::vector<StoreRow>* verify_ = nullptr;
    std::optional<std::vector<std::size_t>> answer_;
    std::optional<StoreFailed> failure_;
    std::shared_ptr<Connection> borrowed_;
    std::function<void()> waitHandler_;  // the reader's, called without the lock
    std::jthread thread_;                // last: stopped and joined before the rest goes
};

}  // namespace

std::unique_ptr<RecordStore> openRecordStore(const std::shared_ptr<Connection>& connection) {
    return std::make_unique<BatchedRecordStore>(connection);
}

}  // namespace tallyfold
