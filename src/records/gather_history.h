#pragma once

#include "platform/connection.h"
#include "records/operations.h"
#include "records/store_record_line.h"

#include <QDateTime>
#include <QHash>
#include <memory>
#include <optional>

namespace tallyfold {

// What the site's administrator asks of a terminal: when it was last gathered
// and how, when it last succeeded, since when it fails. One row a terminal in
// our own table, Tallyfold_GatherState; the host's tables are never altered.
struct GatherState {
    QString machAddr;
    QString port;  // the port of its last gather
    std::optional<QDateTime> lastAt;
    QString lastOutcome;
    LineCounters last;
    std::optional<QDateTime> successAt;
    std::optional<QDateTime> failureAt;
    QString failureOutcome;
    QString failureReason;
    // The first failure since the last success; empty while it succeeds.
    std::optional<QDateTime> failingSince;
    // Every gather's rows stored and lines failed, added up: counters for monitoring.
    qint64 totalStored = 0;
    qint64 totalErrors = 0;
};

// One gather's end, as the history keeps it.
struct GatherEnd {
    QString machAddr;
    QString port;
    QDateTime at;
    Outcome outcome = Outcome::Completed;
    LineCounters counters;
    QString reason;  // why it did not complete
};

inline const QString GatherStateTable = QStringLiteral("Tallyfold_GatherState");

// Creates the table when it is not there; init-db calls it, and so does the first use.
void createGatherStateTable(Connection& connection);
// Adds a gather's end to its terminal's row; creates the table on first use. Raises.
void recordGatherEnd(const std::shared_ptr<Connection>& connection, const GatherEnd& end);
// Every terminal's row by its address; creates the table on first use. Raises.
QHash<QString, GatherState> readGatherStates(const std::shared_ptr<Connection>& connection);
// Forgets a terminal that was removed.
void forgetGatherState(Connection& connection, const QString& machAddr);

}  // namespace tallyfold
