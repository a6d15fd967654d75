#pragma once

#include "platform/error.h"
#include "records/gather_session.h"
#include "records/operations.h"
#include "records/store_record_line.h"

#include <functional>

namespace tallyfold {

// Reads a record file line by line through StoreRecordLine; the file is only read.
LineCounters storeRecordFile(const QString& path, GatherSession& session, OperatorView& view, StepOrder order);

// "...出现了[ n]个错误，是否查看详细记录？": Yes shows the failed lines modally, No discards them.
void offerFailedLines(OperatorView& view, qint64 errors, const QString& questionHead);

// Runs `body` under the operation's error trap; a trapped error shows `box(error)`.
Outcome trapped(OperatorView& view, const std::function<Outcome()>& body,
                const std::function<MessageRequest(const Error&)>& box);

MessageRequest noTerminalBox();
// With no terminal current, shows the "机器参数错误" box and returns true.
bool refusedWithoutTerminal(const Mdl_GatherData& module, OperatorView& view);

MessageRequest descriptionBox(const Error& e);  // "出错：" + description
MessageRequest numberedBox(const Error& e);     // number + " : " + description

}  // namespace tallyfold
