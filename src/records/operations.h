#pragma once

#include "records/gather_session.h"
#include "records/operator_view.h"

namespace tallyfold {

// How an operation ended, for the command line's exit status.
enum class Outcome {
    Completed,     // reached its end
    DeviceFailed,  // reached its end, but the terminal did not do what was asked
    Refused,       // stopped before it began: no terminal, port not open, nothing to gather
    Cancelled,     // the operator said no
    Trapped,       // ended through its error trap
};

// completed, device-failed, refused, cancelled or trapped: as the command and the history write it.
QString outcomeName(Outcome outcome);

// A check box's state; the gather run acts on a box only when it is Ticked, never when greyed.
enum class Tick { Clear, Ticked, Greyed };

// The check boxes the gather run reads.
struct GatherOptions {
    Tick editTime = Tick::Clear;
    Tick get = Tick::Ticked;
    Tick save = Tick::Ticked;
    // Erase the terminal after the gather, but only once every record it gave is verified stored.
    bool thenClear = false;
};

inline const QString RecordFileFilter = QStringLiteral("考勤记录文件(*.txt)|*.txt|全部文件(*.*)|*.*");

Outcome runGather(GatherSession& session, OperatorView& view, const GatherOptions& options);
Outcome runImport(GatherSession& session, OperatorView& view);
Outcome runClear(GatherSession& session, OperatorView& view);
Outcome runLinkTest(GatherSession& session, OperatorView& view);

}  // namespace tallyfold
