#include "store/shared_record_store.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <unordered_map>

namespace tallyfold {

namespace {
// How often a reader waiting for another runs its wait handler.
constexpr auto TurnSlice = std::chrono::milliseconds(50);
// Rows a reader gathers before it takes its turn to hand them over: a turn a row would have
// every reader waking every other one.
constexpr std::size_t HandOver = 256;
}  // namespace

struct SharedRecordStore::Writer {
    explicit Writer(const std::shared_ptr<Connection>& connection)
        : connectionString(connection->ConnectionString()),
          // A connection of its own, not the first reader's: that one stays its reader's.
          store(openRecordStore(std::make_shared<Connection>(connectionString))) {}

    // One reader's share; its fields under the mutex, but `ready`.
    struct Account {
        std::vector<StoreResult> results;  // verdicts not yet taken
        std::size_t added = 0;             // rows handed over
        std::size_t settled = 0;           // of those, rows with a verdict
        std::atomic<bool> ready = false;   // results holds some
    };

    const QString connectionString;
    std::timed_mutex mutex;  // guards what follows; the store's own calls are safe from any thread
    std::condition_variable_any flushed;
    std::unique_ptr<RecordStore> store;
    std::unordered_map<int, Account*> accounts;
    // A reader is committing every row handed over (finish() or missing()); the others wait for
    // it rather than commit again, so readers ending together share a commit.
    bool flushing = false;
    std::optional<StoreFailed> failure;  // the store gave up: every reader on it fails
    std::atomic<bool> gaveUp = false;    // the same, for open() without the mutex

    // Hands the verdicts that came to the readers they belong to.
    void sortResults() {
        for (StoreResult& r : store->takeResults()) {
            const auto it = accounts.find(r.row.reader);
            if (it == accounts.end())
                continue;
            Account& account = *it->second;
            ++account.settled;
            account.results.push_back(std::move(r));
            account.ready.store(true, std::memory_order_release);
        }
    }
};

namespace {

using Writer = SharedRecordStore::Writer;

class Reader : public RecordStore {
public:
    Reader(std::shared_ptr<Writer> writer, int id) : writer_(std::move(writer)), id_(id) {
        pending_.reserve(HandOver);
        const auto lock = turn();
        writer_->accounts.emplace(id_, &account_);
    }

    ~Reader() override {
        const auto lock = turn();
        writer_->accounts.erase(id_);
    }

    void add(const StoreRow& row) override {
        pending_.push_back(row);
        pending_.back().reader = id_;
        if (pending_.size() >= HandOver) {
            const auto lock = turn();
            handOver();
        }
    }

    // Without a turn when no verdict came for this reader: a line's check costs no wait.
    std::vector<StoreResult> takeResults() override {
        if (!account_.ready.load(std::memory_order_acquire))
            return {};
        const auto lock = turn();
        account_.ready.store(false, std::memory_order_relaxed);
        return std::exchange(account_.results, {});
    }

    void finish() override {
        auto lock = turn();
        handOver();
        for (;;) {
            writer_->sortResults();
            if (writer_->failure)
                throw *writer_->failure;
            if (account_.settled >= account_.added)
                return;
            if (!writer_->flushing) {
                // Every row handed over until the store is empty, this reader's and whoever's came meanwhile.
                flush(lock, [&] { writer_->store->finish(); });
                continue;
            }
            awaitFlush(lock);
        }
    }

    std::vector<std::size_t> missing(const std::vector<StoreRow>& rows) override {
        auto lock = turn();
        handOver();
        while (writer_->flushing)
            awaitFlush(lock);
        if (writer_->failure)
            throw *writer_->failure;
        std::vector<std::size_t> absent;
        flush(lock, [&] { absent = writer_->store->missing(rows); });
        if (writer_->failure)
            throw *writer_->failure;
        return absent;
    }

    void setWaitHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    // The writer's fields to this reader; its wait handler runs while another holds them.
    std::unique_lock<std::timed_mutex> turn() {
        std::unique_lock lock(writer_->mutex, std::defer_lock);
        while (!lock.try_lock_for(TurnSlice))
            if (handler_)
                handler_();
        return lock;
    }

    // The rows gathered to the store, in the reader's turn; verdicts that came go to their readers.
    void handOver() {
        writer_->sortResults();
        if (writer_->failure)
            throw *writer_->failure;
        try {
            for (const StoreRow& row : pending_) {
                writer_->store->add(row);
                ++account_.added;
            }
        } catch (const StoreFailed& e) {
            failed(e);
            throw;
        }
        pending_.clear();
    }

    void awaitFlush(std::unique_lock<std::timed_mutex>& lock) {
        writer_->flushed.wait_for(lock, TurnSlice);
        if (handler_) {
            lock.unlock();
            handler_();
            lock = turn();
        }
    }

    // Runs `call`, which waits for the database, as the one flushing reader, the others free to add meanwhile.
    template <typename F>
    void flush(std::unique_lock<std::timed_mutex>& lock, F&& call) {
        writer_->flushing = true;
        lock.unlock();
        std::optional<StoreFailed> failure;
        try {
            call();
        } catch (const StoreFailed& e) {
            failure = e;
        }
        lock = turn();
        writer_->flushing = false;
        if (failure)
            failed(*failure);
        writer_->flushed.notify_all();
    }

    // A store that gave up stays given up; readers opened later get a new one. In the reader's turn.
    void failed(const StoreFailed& failure) {
        if (!writer_->failure)
            writer_->failure = failure;
        writer_->gaveUp = true;
        writer_->flushed.notify_all();
    }

    std::shared_ptr<Writer> writer_;
    const int id_;
    Writer::Account account_;
    std::vector<StoreRow> pending_;  // added, not yet handed over
    std::function<void()> handler_;
};

}  // namespace

SharedRecordStore::SharedRecordStore() = default;
SharedRecordStore::~SharedRecordStore() = default;

std::unique_ptr<RecordStore> SharedRecordStore::open(const std::shared_ptr<Connection>& connection) {
    std::unique_lock lock(mutex_);
    if (current_ && current_->connectionString != connection->ConnectionString()) {
        // Another database: a store of its own.
        lock.unlock();
        return openRecordStore(connection);
    }
    if (!current_ || current_->gaveUp)
        current_ = std::make_shared<Writer>(connection);
    const int id = nextReader_++;
    std::shared_ptr<Writer> writer = current_;
    lock.unlock();
    return std::make_unique<Reader>(std::move(writer), id);
}

}  // namespace tallyfold
