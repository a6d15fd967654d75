#include "records/gather_history.h"

#include "platform/connection_private.h"
#include "platform/error.h"
#include "platform/recordset.h"

namespace tallyfold {

namespace {

// Long enough for a database's or a device link's reason; longer ones are cut, never refused.
constexpr int ReasonLength = 1000;

QVariant seconds(const QDateTime& at) {
    return QVariant(at.toSecsSinceEpoch());
}

std::optional<QDateTime> momentOf(const Variant& value) {
    if (value.isNull() || value.isEmpty())
        return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(value.toQVariant().toLongLong());
}

QString textOf(const Variant& value) {
    return value.isNull() ? QString() : value.toText();
}

qint64 numberOf(const Variant& value) {
    return value.isNull() ? 0 : value.toQVariant().toLongLong();
}

// A table made by an older version, or by nobody yet: made now, and the statement tried once more.
template <class Body>
auto onTable(Connection& connection, Body&& body) {
    try {
        return body();
    } catch (const Error&) {
        createGatherStateTable(connection);
    }
    return body();
}

}  // namespace

void createGatherStateTable(Connection& connection) {
    const bool sqlServer = ConnectionPrivate::of(connection).provider() == ProviderKind::SqlServer;
    const QString text = sqlServer ? QStringLiteral("nvarchar") : QStringLiteral("varchar");
    // Times are seconds since 1970 UTC: one meaning on every database and in every time zone.
    connection.Execute(QStringLiteral("create table if not exists %1 (MachAddr %2(10) not null primary key, "
                                      "COMX %2(20), LastAt bigint, LastOutcome %2(20), LastRead bigint, "
                                      "LastStored bigint, LastDuplicates bigint, LastErrors bigint, "
                                      "SuccessAt bigint, FailureAt bigint, FailureOutcome %2(20), "
                                      "FailureReason %2(%3), FailingSince bigint, "
                                      "TotalStored bigint not null default 0, TotalErrors bigint not null default 0)")
                           .arg(GatherStateTable, text)
                           .arg(ReasonLength));
}

void recordGatherEnd(const std::shared_ptr<Connection>& connection, const GatherEnd& end) {
    if (!connection)
        throw Error(errc::ObjectNotSet, QStringLiteral("The database tool gave no connection"));
    const bool success = end.outcome == Outcome::Completed;
    const QString head = QStringLiteral(
                             "update %1 set COMX=?, LastAt=?, LastOutcome=?, LastRead=?, LastStored=?, "
                             "LastDuplicates=?, LastErrors=?, ")
                             .arg(GatherStateTable);
    // Each sum and the start of a failing spell are taken in the statement itself, so two
    // gatherers of one terminal (the window and the timer) cannot lose each other's counts.
    const QString tail = QStringLiteral(", TotalStored=TotalStored+?, TotalErrors=TotalErrors+? where MachAddr=?");
    QVariantList values{end.port,           seconds(end.at),     outcomeName(end.outcome),
                        end.counters.read,  end.counters.stored, end.counters.duplicates,
                        end.counters.errors};
    QString statement;
    if (success) {
        statement = head + QStringLiteral("SuccessAt=?, FailingSince=null") + tail;
        values << seconds(end.at);
    } else {
        statement =
            head +
            QStringLiteral("FailureAt=?, FailureOutcome=?, FailureReason=?, FailingSince=coalesce(FailingSince, ?)") +
            tail;
        values << seconds(end.at) << outcomeName(end.outcome) << end.reason.left(ReasonLength) << seconds(end.at);
    }
    values << end.counters.stored << end.counters.errors << end.machAddr;
    // On SQLite both statements commit together: one sync of its log rather than two, under the
    // write lock that every port of a gather --all takes in turn.
    const bool together = ConnectionPrivate::of(*connection).provider() == ProviderKind::SQLite;
    onTable(*connection, [&] {
        if (together)
            connection->Execute(QStringLiteral("BEGIN IMMEDIATE"));
        try {
            // A first gather makes the row; a row another gatherer made meanwhile is just updated.
            try {
                executeBound(*connection,
                             QStringLiteral("insert into %1 (MachAddr, TotalStored, TotalErrors) select ?, 0, 0 "
                                            "where not exists (select 1 from %1 where MachAddr=?)")
                                 .arg(GatherStateTable),
                             {end.machAddr, end.machAddr});
            } catch (const Error&) {
                if (readGatherStates(connection).contains(end.machAddr) == false)
                    throw;
            }
            executeBound(*connection, statement, values);
            if (together)
                connection->Execute(QStringLiteral("COMMIT"));
        } catch (const Error&) {
            if (together) {
                try {
                    connection->Execute(QStringLiteral("ROLLBACK"));
                } catch (const Error&) {
                    // The statement's own error says more.
                }
            }
            throw;
        }
    });
}

QHash<QString, GatherState> readGatherStates(const std::shared_ptr<Connection>& connection) {
    if (!connection)
        throw Error(errc::ObjectNotSet, QStringLiteral("The database tool gave no connection"));
    return onTable(*connection, [&] {
        QHash<QString, GatherState> states;
        Recordset rs;
        rs.Open(QStringLiteral("select * from %1").arg(GatherStateTable), connection);
        for (; !rs.Eof(); rs.MoveNext()) {
            GatherState s;
            s.machAddr = textOf(rs.Fields(QStringLiteral("MachAddr")));
            s.port = textOf(rs.Fields(QStringLiteral("COMX")));
            s.lastAt = momentOf(rs.Fields(QStringLiteral("LastAt")));
            s.lastOutcome = textOf(rs.Fields(QStringLiteral("LastOutcome")));
            s.last.read = numberOf(rs.Fields(QStringLiteral("LastRead")));
            s.last.stored = numberOf(rs.Fields(QStringLiteral("LastStored")));
            s.last.duplicates = numberOf(rs.Fields(QStringLiteral("LastDuplicates")));
            s.last.errors = numberOf(rs.Fields(QStringLiteral("LastErrors")));
            s.successAt = momentOf(rs.Fields(QStringLiteral("SuccessAt")));
            s.failureAt = momentOf(rs.Fields(QStringLiteral("FailureAt")));
            s.failureOutcome = textOf(rs.Fields(QStringLiteral("FailureOutcome")));
            s.failureReason = textOf(rs.Fields(QStringLiteral("FailureReason")));
            s.failingSince = momentOf(rs.Fields(QStringLiteral("FailingSince")));
            s.totalStored = numberOf(rs.Fields(QStringLiteral("TotalStored")));
            s.totalErrors = numberOf(rs.Fields(QStringLiteral("TotalErrors")));
            states.insert(s.machAddr, s);
        }
        rs.Close();
        return states;
    });
}

void forgetGatherState(Connection& connection, const QString& machAddr) {
    onTable(connection, [&] {
        executeBound(connection, QStringLiteral("delete from %1 where MachAddr=?").arg(GatherStateTable), {machAddr});
    });
}

}  // namespace tallyfold
