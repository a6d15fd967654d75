#pragma once

#include "platform/prompts.h"

#include <QString>

namespace tallyfold {

struct LineCounters;

// What an operation may do to the operator: the window implements it with its
// widgets, the command line on the console, tests with a recorder.
class OperatorView {
public:
    virtual ~OperatorView() = default;

    virtual void setStatus(const QString& text) = 0;
    virtual void setCaption(const QString& text) = 0;
    virtual void clearRecordList() = 0;
    virtual void addRecordRow(const QString& address, const QString& card, const QString& date,
                              const QString& time) = 0;

    // The failed-lines list: rows in failure order, shown modally or discarded at the end of a run.
    virtual void addFailedLine(int position, const QString& key, const QString& lineNumber,
                               const QString& recordText) = 0;
    virtual void showFailedLines() = 0;
    virtual void discardFailedLines() = 0;

    virtual Prompts& prompts() = 0;

    // How far a long step is (a transfer, the storing of a file): done of total, total 0 when unknown.
    virtual void setProgress(qint64 done, qint64 total) {
        Q_UNUSED(done);
        Q_UNUSED(total);
    }
    // Why a step failed, for whoever must mend it (device path and system error, no answer, ...);
    // the texts the operator sees stay as they are.
    virtual void setDetail(const QString& text) { Q_UNUSED(text); }
    // The final counters of a run that stored lines (also when its trap ended it), for the command's summary.
    virtual void setTotals(const LineCounters& counters) { Q_UNUSED(counters); }

    // Keeps the window answering through long work (a device call, the storing of a file).
    // Call it as often as liked from the thread that waits, which is the window's; the
    // view decides how often the window processes its events and what input it takes.
    virtual void keepAlive() {}

    // Why a failed line failed, in the database's or the parser's own words; after
    // addFailedLine with the same key. Lines with a bad date-time carry none.
    virtual void failedLineReason(const QString& key, const QString& reason) {
        Q_UNUSED(key);
        Q_UNUSED(reason);
    }
    // The operation's CtrlLog row could not be written; the operation went on as if it had been.
    virtual void logNotWritten(const QString& reason) { Q_UNUSED(reason); }

    // Asked from any thread, as often as liked: the operator or a signal asked the run to stop.
    // The run then stops at the next line or frame, keeping what was stored.
    virtual bool cancelRequested() const { return false; }
    // Who asked the run to stop, as a cancelled run's reason begins: "stopped by SIGTERM".
    virtual QString stopCause() const { return QStringLiteral("stopped on request"); }
};

}  // namespace tallyfold
