#pragma once

#include "store/record_store.h"

#include <memory>
#include <mutex>

namespace tallyfold {

// One store that readers on several threads hand rows to at the same time: their rows go
// through one writer and one connection, so N terminals gathered at once cost one database
// session, one look at the table and one set of prepared statements rather than N, and
// take SQLite's one write lock in turn rather than fight over it. A batch may hold several
// readers' rows; the table's duplicate rule is the same for them as for one reader's.
//
// Each reader is a RecordStore of its own: it gets the verdicts of its own rows, its
// finish() returns once they are committed. Readers ending together share a commit: one
// commits what waits while the others wait for it, running their wait handlers (the one
// committing waits without its own, until the store has nothing left). Rows are handed
// over a few hundred at a time, so a verdict comes that much later. A store that gives up fails
// every reader on it, as the database would have failed each with a connection of its
// own; readers opened after that get a new store.
class SharedRecordStore {
public:
    SharedRecordStore();
    ~SharedRecordStore();
    SharedRecordStore(const SharedRecordStore&) = delete;
    SharedRecordStore& operator=(const SharedRecordStore&) = delete;

    // A reader for rows bound where `connection` leads; the store's writer opens a connection
    // of its own there with the first reader. Any thread; the reader is used on one.
    std::unique_ptr<RecordStore> open(const std::shared_ptr<Connection>& connection);

    struct Writer;

private:
    std::mutex mutex_;
    std::shared_ptr<Writer> current_;
    int nextReader_ = 1;
};

}  // namespace tallyfold
