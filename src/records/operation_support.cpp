#include "records/operation_support.h"

#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "records/operations.h"

namespace tallyfold {

LineCounters storeRecordFile(const QString& path, GatherSession& session, OperatorView& view, StepOrder order) {
    AnsiTextReader reader(path);
    std::unique_ptr<RecordStore> store = openRecordStore(session.Conn, session.module.Pub_DateQuote);
    StoreContext context{store.get(), &session.times, &view, {}};
    LineCounters counters;
    try {
        while (!reader.atEndOfStream())
            StoreRecordLine(reader.readLine(), counters, context, order);
    } catch (...) {
        // Rows already handed over are still stored and counted before the run's trap reports.
        finishStoring(counters, context);
        putFailedLines(context);
        view.setTotals(counters);
        throw;
    }
    finishStoring(counters, context);
    putFailedLines(context);
    view.setTotals(counters);
    return counters;
}

void offerFailedLines(OperatorView& view, qint64 errors, const QString& questionHead) {
    if (errors <= 0)
        return;
    const MessageAnswer answer = view.prompts().message(yesNoQuestion(
        questionHead + QStringLiteral("[") + signPlace(errors) + QStringLiteral("]个错误，是否查看详细记录？")));
    if (answer == MessageAnswer::Yes)
        view.showFailedLines();
    else
        view.discardFailedLines();
}

Outcome trapped(OperatorView& view, const std::function<Outcome()>& body,
                const std::function<MessageRequest(const Error&)>& box) {
    try {
        return body();
    } catch (const Error& e) {
        view.prompts().message(box(e));
    } catch (const std::exception& e) {
        view.prompts().message(box(Error(-1, QString::fromLocal8Bit(e.what()))));
    }
    return Outcome::Trapped;
}

MessageRequest descriptionBox(const Error& e) {
    return plainBox(QStringLiteral("出错：") + e.description());
}

MessageRequest numberedBox(const Error& e) {
    return plainBox(QString::number(e.number()) + QStringLiteral(" : ") + e.description());
}

MessageRequest noTerminalBox() {
    return promptBox(QStringLiteral("错误：\r\n机器参数错误，请查证后重试..."));
}

bool refusedWithoutTerminal(const Mdl_GatherData& module, OperatorView& view) {
    if (!module.Pub_MachAddr.equalsEmptyText())
        return false;
    view.prompts().message(noTerminalBox());
    return true;
}

}  // namespace tallyfold
