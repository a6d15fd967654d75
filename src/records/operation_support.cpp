#include "records/operation_support.h"

#include "component/mdl_gather_data.h"
#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "records/operations.h"

namespace tallyfold {

StoreContext storeContext(GatherSession& session, OperatorView& view) {
    return StoreContext{session.Conn, gatherModule().Pub_DateQuote, &session.times, &view};
}

// A writer on a connection of its own when the database can be reached a second
// time by its connection string; else (an in-memory database, a table the
// writer cannot see) the rows go through the connection itself.
static std::unique_ptr<RowWriter> rowWriterFor(const Connection& connection) {
    const ConnectionString cs(connection.ConnectionString());
    if (providerKind(cs) == ProviderKind::SQLite) {
        const QString file = cs.value(QStringLiteral("Data Source"));
        if (file.isEmpty() || file.contains(QStringLiteral(":memory:")) || file.contains(QStringLiteral("mode=memory")))
            return nullptr;
    }
    try {
        return std::make_unique<RowWriter>(connection.ConnectionString());
    } catch (const Error&) {
        return nullptr;
    }
}

LineCounters storeRecordFile(const QString& path, GatherSession& session, OperatorView& view, StepOrder order) {
    AnsiTextReader reader(path);
    std::unique_ptr<RowWriter> writer = rowWriterFor(*session.Conn);
    QSet<QString> queuedKeys;
    std::vector<FailedLine> failedLines;
    StoreContext context = storeContext(session, view);
    context.writer = writer.get();
    context.queuedKeys = &queuedKeys;
    context.failedLines = writer ? &failedLines : nullptr;
    LineCounters counters;
    std::unique_ptr<Recordset> recordset;
    auto settle = [&](std::vector<RowResult> results) { takeWrittenRows(results, counters, context); };
    try {
        while (!reader.atEndOfStream()) {
            StoreRecordLine(reader.readLine(), recordset, counters, context, order);
            if (writer)
                settle(writer->takeFinished());
        }
    } catch (...) {
        // Rows already queued are still stored and counted before the run's trap reports.
        if (writer)
            settle(writer->finish());
        putFailedLines(context);
        throw;
    }
    if (writer)
        settle(writer->finish());
    putFailedLines(context);
    if (recordset && recordset->State() == adStateOpen)
        recordset->Close();
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

bool refusedWithoutTerminal(OperatorView& view) {
    if (!gatherModule().Pub_MachAddr.equalsEmptyText())
        return false;
    view.prompts().message(noTerminalBox());
    return true;
}

}  // namespace tallyfold
