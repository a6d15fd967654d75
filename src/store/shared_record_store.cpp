#include "store/shared_record_store.h"

#include <chrono>
#include <unordered_map>

namespace tallyfold {

namespace {
// How often a reader waiting for another one's turn runs its wait handler.
constexpr auto TurnSlice = std::chrono::milliseconds(50);
}  // namespace

struct SharedRecordStore::Writer {
    explicit Writer(const std::shared_ptr<Connection>& connection)
        : connectionString(connection->ConnectionString()),
          // A connection of its own, not the first reader's: that one stays its reader's.
          store(openRecordStore(std::make_shared<Connection>(connectionString))) {}

    const QString connectionString;
    std::timed_mutex turn;  // the reader in the store; guards everything below
    std::unique_ptr<RecordStore> store;
    std::unordered_map<int, std::vector<StoreResult>> results;  // each live reader's verdicts not yet taken
    bool failed = false;                                        // read under the SharedRecordStore's mutex too

    // Hands the verdicts that came to the readers they belong to.
    void sortResults() {
        for (StoreResult& r : store->takeResults()) {
            const auto it = results.find(r.row.reader);
            if (it != results.end())
                it->second.push_back(std::move(r));
        }
    }
};

namespace {

class Reader : public RecordStore {
public:
    Reader(std::shared_ptr<SharedRecordStore::Writer> writer, std::mutex& shared, int id)
        : writer_(std::move(writer)), shared_(shared), id_(id) {
        const Turn turn(*this);
        writer_->results.emplace(id_, std::vector<StoreResult>());
    }

    ~Reader() override {
        const Turn turn(*this);
        writer_->results.erase(id_);
    }

    void add(const StoreRow& row) override {
        StoreRow own = row;
        own.reader = id_;
        const Turn turn(*this);
        guarded([&] { writer_->store->add(own); });
    }

    std::vector<StoreResult> takeResults() override {
        const Turn turn(*this);
        writer_->sortResults();
        return std::exchange(writer_->results[id_], {});
    }

    void finish() override {
        const Turn turn(*this);
        // The store commits every reader's rows, this one's with them.
        guarded([&] { writer_->store->finish(); });
    }

    std::vector<std::size_t> missing(const std::vector<StoreRow>& rows) override {
        const Turn turn(*this);
        std::vector<std::size_t> absent;
        guarded([&] { absent = writer_->store->missing(rows); });
        return absent;
    }

    void setWaitHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    // The reader's turn in the store: its wait handler runs while it waits for another's to end,
    // and while the store waits for the database on its behalf.
    class Turn {
    public:
        explicit Turn(Reader& reader) : reader_(reader) {
            std::timed_mutex& turn = reader_.writer_->turn;
            while (!turn.try_lock_for(TurnSlice))
                if (reader_.handler_)
                    reader_.handler_();
            if (reader_.handler_)
                reader_.writer_->store->setWaitHandler(reader_.handler_);
        }
        ~Turn() {
            if (reader_.handler_)
                reader_.writer_->store->setWaitHandler({});
            reader_.writer_->turn.unlock();
        }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        Reader& reader_;
    };

    // A store that gave up stays given up; readers opened later get a new one.
    template <typename F>
    void guarded(F&& call) {
        try {
            call();
        } catch (const StoreFailed&) {
            const std::lock_guard lock(shared_);
            writer_->failed = true;
            throw;
        }
    }

    std::shared_ptr<SharedRecordStore::Writer> writer_;
    std::mutex& shared_;
    const int id_;
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
    if (!current_ || current_->failed)
        current_ = std::make_shared<Writer>(connection);
    const int id = nextReader_++;
    std::shared_ptr<Writer> writer = current_;
    lock.unlock();
    return std::make_unique<Reader>(std::move(writer), mutex_, id);
}

}  // namespace tallyfold
