#include "records/operation_support.h"

#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "records/operations.h"
#include "store/shared_record_store.h"

#include <QScopeGuard>
#include <utility>

namespace tallyfold {

StoredFile StoreRecordLines(const QString& path, GatherSession& session, OperatorView& view, StepOrder order,
                            bool verify) {
    requireBusinessDayTimes(session.times);
    AnsiTextReader reader(path);
    std::unique_ptr<RecordStore> store =
        session.sharedStore ? session.sharedStore->open(session.Conn) : openRecordStore(session.Conn);
    std::vector<StoreRow> handedOver;
    StoreContext context{store.get(), &session.times, &view, {}, verify ? &handedOver : nullptr};
    StoredFile result;
    LineCounters& counters = result.counters;
    // A batch's commit can outlast the window's patience: it keeps answering while the rows wait,
    // and lists the rows whose batches have their verdicts, rather than all of them at the end.
    // Counting may wait for the store in turn (a shared one), which calls this again: not counted twice over.
    bool counting = false;
    store->setWaitHandler([&] {
        view.keepAlive();
        if (std::exchange(counting, true))
            return;
        const auto done = qScopeGuard([&] { counting = false; });
        countVerdicts(counters, context);
    });
    try {
        try {
            while (!reader.atEndOfStream()) {
                if (view.cancelRequested()) {
                    // The rows handed over commit; the lines not read are left for another run.
                    finishStoring(counters, context);
                    putFailedLines(context);
                    view.setTotals(counters);
                    throw RunCancelled{QStringLiteral("after %1 lines of %2; %3 rows stored, storing the file again "
                                                      "stores the rest")
                                           .arg(counters.read)
                                           .arg(path)
                                           .arg(counters.stored)};
                }
                // A record is its first 18 characters; the rest of a long line was skipped unread.
                StoreRecordLine(reader.readLine(), counters, context, order);
                if (counters.read % 1024 == 0)
                    view.setProgress(reader.position(), reader.size());
            }
        } catch (const StoreFailed&) {
            throw;
        } catch (const RunCancelled&) {
            throw;
        } catch (...) {
            // A file that cannot be read on: rows already handed over are still stored and counted before the trap.
            finishStoring(counters, context);
            putFailedLines(context);
            view.setTotals(counters);
            throw;
        }
        finishStoring(counters, context);
        view.setProgress(reader.size(), reader.size());
        if (verify)
            result.missing = store->missing(handedOver).size();
    } catch (const StoreFailed& e) {
        countVerdicts(counters, context);
        putFailedLines(context);
        view.setTotals(counters);
        view.setDetail(QStringLiteral("%1 lines read, %2 rows stored when the database failed; storing the file "
                                      "again stores the rest. %3")
                           .arg(counters.read)
                           .arg(counters.stored)
                           .arg(e.description()));
        throw;
    }
    putFailedLines(context);
    view.setTotals(counters);
    return result;
}

void WriteCtrlLog(OperatorView& view, const QString& user, const QDateTime& time, const QString& objectText,
                  const QString& actionText, const QString& resultText) {
    const QString reason = WriteCtrlLog(user, time, objectText, actionText, resultText);
    if (!reason.isEmpty())
        view.logNotWritten(reason);
}

void explainDeviceFailure(OperatorView& view, const DeviceLink& device) {
    const DeviceFault fault = device.lastError();
    if (fault.code == DeviceError::None)
        return;
    QString text = fault.text;
    if (!fault.osReason.isEmpty() && !text.contains(fault.osReason))
        text += QStringLiteral(": ") + fault.osReason;
    view.setDetail(text);
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
    } catch (const RunCancelled& e) {
        view.setDetail(stoppedReason(view, e.where));
        return Outcome::Cancelled;
    } catch (const Error& e) {
        view.prompts().message(box(e));
    } catch (const std::exception& e) {
        view.prompts().message(box(Error(-1, QString::fromLocal8Bit(e.what()))));
    }
    return Outcome::Trapped;
}

void stopIfCancelled(const OperatorView& view, const QString& where) {
    if (view.cancelRequested())
        throw RunCancelled{where};
}

QString stoppedReason(const OperatorView& view, const QString& where) {
    return where.isEmpty() ? view.stopCause() : view.stopCause() + QLatin1Char(' ') + where;
}

QString outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Completed:
        return QStringLiteral("completed");
    case Outcome::DeviceFailed:
        return QStringLiteral("device-failed");
    case Outcome::Refused:
        return QStringLiteral("refused");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::Trapped:
        return QStringLiteral("trapped");
    }
    return QStringLiteral("failed");
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
