#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"

namespace tallyfold {

Outcome runImport(GatherSession& session, OperatorView& view) {
    // Every run starts with an empty failed-lines list, whatever an earlier run left.
    view.discardFailedLines();
    return trapped(
        view,
        [&] {
            view.clearRecordList();
            const QString path = view.prompts().chooseOpenFile(RecordFileFilter);
            if (path.isEmpty()) {
                view.setDetail(QStringLiteral("no record file was chosen"));
                return Outcome::Cancelled;
            }
            const LineCounters counters = StoreRecordLines(path, session, view, StepOrder::Import).counters;
            const QString sentence = QStringLiteral("文件{") + path + QStringLiteral("}数据读取成功,记录总数：") +
                                     QString::number(counters.read) + QStringLiteral(",正确处理记录数：") +
                                     signPlace(counters.stored);
            view.setStatus(sentence);
            view.setCaption(sentence);
            offerFailedLines(view, counters.errors, QStringLiteral("数据读取过程中出现了"));
            WriteCtrlLog(view, session.module.Pub_UserName, session.clock(), QStringLiteral("数据读取"),
                         QStringLiteral("文件:") + path, QStringLiteral("数据读取成功！"));
            return Outcome::Completed;
        },
        descriptionBox);
}

}  // namespace tallyfold
