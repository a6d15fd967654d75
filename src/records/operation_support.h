#pragma once

#include "platform/error.h"
#include "records/gather_session.h"
#include "records/operations.h"
#include "records/store_record_line.h"

#include <functional>
#include <optional>

namespace tallyfold {

// What storing a record file gave. `missing` is set when asked for: how many of
// the rows handed to the store the table does not hold once all is committed.
struct StoredFile {
    LineCounters counters;
    std::optional<std::size_t> missing;
};

// StoreRecordLine for every line of a record file; the file is only read.
// A store that gives up ends it with StoreFailed, the counts so far in the detail.
StoredFile StoreRecordLines(const QString& path, GatherSession& session, OperatorView& view, StepOrder order,
                            bool verify = false);

// The clearing's device step on the current terminal, its port open: status texts and ClearRecord,
// or with `below` only the records numbered below it.
bool clearRecords(GatherSession& session, OperatorView& view, std::optional<quint32> below = std::nullopt);
// The clearing's log row.
void logClearing(GatherSession& session, OperatorView& view, bool cleared);

// WriteCtrlLog, telling the view when the row could not be written.
void WriteCtrlLog(OperatorView& view, const QString& user, const QDateTime& time, const QString& objectText,
                  const QString& actionText, const QString& resultText);

// After a call to the terminal failed: the link's own reason (device, system error, retries) as the view's detail.
void explainDeviceFailure(OperatorView& view, const DeviceLink& device);

// "...出现了[ n]个错误，是否查看详细记录？": Yes shows the failed lines modally, No discards them.
void offerFailedLines(OperatorView& view, qint64 errors, const QString& questionHead);

// The run stopped because the operator or a signal asked it to; what was stored stays stored.
// `where` says where it stopped and what that left, for the run's reason.
struct RunCancelled {
    QString where;
};
// Raises RunCancelled once the view asks the run to stop.
void stopIfCancelled(const OperatorView& view, const QString& where);
// The reason of a run stopped at `where`: the view's stop cause, then the place.
QString stoppedReason(const OperatorView& view, const QString& where);

// Runs `body` under the operation's error trap; a trapped error shows `box(error)`;
// a cancelled run ends as Cancelled, with no box, its reason the view's detail.
Outcome trapped(OperatorView& view, const std::function<Outcome()>& body,
                const std::function<MessageRequest(const Error&)>& box);

MessageRequest noTerminalBox();
// With no terminal current, shows the "机器参数错误" box and returns true.
bool refusedWithoutTerminal(const Mdl_GatherData& module, OperatorView& view);

MessageRequest descriptionBox(const Error& e);  // "出错：" + description
MessageRequest numberedBox(const Error& e);     // number + " : " + description

}  // namespace tallyfold
