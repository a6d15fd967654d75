#pragma once

#include "records/gather_all.h"
#include "records/store_record_line.h"

#include <QHash>
#include <functional>

namespace tallyfold {

struct FollowOptions {
    int intervalMs = 2000;
    // A terminal is cleared below what is stored once it holds this share of its capacity.
    int clearAtPercent = 50;
    // Threads, each with one database session, that share the ports out.
    int jobs = 8;
    // A terminal whose records are dated further than this from the PC's clock has its clock set.
    int clockDriftSeconds = 60;
};

class FollowJournal;

// One terminal's round: what was read, stored and cleared, or why not.
struct FollowRound {
    TerminalRow terminal;
    bool ok = false;  // the terminal answered and every record it gave is stored
    QString reason;   // why not, for whoever mends it
    LineCounters counters;
    quint32 held = 0;  // records on the terminal after this round
    quint32 capacity = 0;
    quint32 stored = 0;  // records numbered below this one are stored
    bool cleared = false;
    bool lent = false;          // an operation has the terminal's port: nothing was asked
    QString elsewhere;          // another follower follows the terminal: this one leaves it alone
    qint64 journaled = 0;       // records that went into the journal this round
    qint64 journalRecords = 0;  // the terminal's records waiting in the journal after the round
    // Why the database did not take this round's records; empty when it did (or had nothing to take).
    QString databaseAway;
    // The new records were swiped at most this long before their batch was committed; -1: none new.
    qint64 ageBoundMs = -1;
};
// Told on the port's thread after each terminal's round.
using FollowReport = std::function<void(const FollowRound&)>;

// Follows the terminals of `rows` until `stop` says true. One thread per port keeps the
// port open and asks each of its terminals for the records it took since the last round,
// every interval; they are stored as a gather stores them, so any mix of followers,
// gathers and imports stores each record once. While the database cannot take them they
// go into `journal`, which drains into the table, in order, once it can. A terminal is
// cleared only below what is stored or journaled. A port or device server that fails is
// tried again with growing pauses, the database every 2 s at most. The terminals'
// positions live in the journal, across reloads and restarts.
void follow(const Mdl_GatherData& module, const HostSettings& host, const std::vector<TerminalRow>& rows,
            const FollowOptions& options, const TerminalViewFactory& makeView, const FollowReport& report,
            const std::function<bool()>& stop, FollowJournal& journal);

}  // namespace tallyfold
