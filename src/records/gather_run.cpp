#include "outside/host_folder.h"
#include "platform/durable_file.h"
#include "platform/log_categories.h"
#include "records/device_waiting.h"
#include "records/gather_history.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"
#include "records/watched_view.h"

#include <QFile>
#include <QFileInfo>
#include <optional>

namespace tallyfold {

static QString tickText(bool ok, const QString& a, const char* done, const char* failed) {
    return QStringLiteral("机器[") + a + QString::fromUtf8(ok ? done : failed);
}

static bool sameBytes(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd())
        if (fa.read(1 << 16) != fb.read(1 << 16))
            return false;
    return true;
}

// What a gather run knows when it comes to clearing the terminal.
struct GatherProof {
    bool asked = false;     // a gather was asked for
    bool gathered = false;  // and its file was read and stored
    QString notGathered;    // why not, in the link's words
    LineCounters counters;
    std::optional<std::size_t> missing;
    std::optional<quint32> given;  // how many records the terminal gave, when the link can say
    QString source;
    QString copy;
    QString notSaved;  // why no copy was made
};

// Why a terminal must not be erased after this gather, or "" when every record
// it gave is in the database and in a saved copy. The detail says it for whoever mends it.
static QString clearRefusal(const GatherProof& proof, OperatorView& view) {
    const auto because = [](const QString& what, const QString& why) {
        return why.isEmpty() ? what : what + QStringLiteral(": ") + why;
    };
    const LineCounters& counters = proof.counters;
    if (!proof.gathered) {
        view.setDetail(
            because(QStringLiteral("The terminal's records were not gathered in this run"), proof.notGathered));
        return proof.asked ? QStringLiteral("数据采集失败") : QStringLiteral("未采集数据");
    }
    if (counters.errors > 0) {
        view.setDetail(QStringLiteral("%1 lines of the gathered file failed").arg(counters.errors));
        return QStringLiteral("存在错误记录");
    }
    // Two files that agree prove nothing when both lack records: the terminal's own count must be met.
    if (proof.given && counters.read != qint64(*proof.given)) {
        view.setDetail(QStringLiteral("The gathered file holds %1 records, the terminal gave %2")
                           .arg(counters.read)
                           .arg(*proof.given));
        return QStringLiteral("记录未全部入库");
    }
    if (!proof.missing || *proof.missing > 0) {
        view.setDetail(QStringLiteral("%1 gathered records are not in the database").arg(proof.missing.value_or(0)));
        return QStringLiteral("记录未全部入库");
    }
    if (proof.copy.isEmpty() || !sameBytes(proof.source, proof.copy)) {
        view.setDetail(proof.copy.isEmpty()
                           ? because(QStringLiteral("No saved copy of the gathered file was made"), proof.notSaved)
                           : QStringLiteral("The saved copy %1 differs from the gathered file").arg(proof.copy));
        return QStringLiteral("采集文件未另存");
    }
    return QString();
}

static Outcome gatherOnce(GatherSession& session, OperatorView& view, const GatherOptions& options) {
    view.discardFailedLines();
    return trapped(
        view,
        [&] {
            Mdl_GatherData& module = session.module;
            DeviceLink& device = *session.Device;
            const DeviceWaiting waiting(device, view);
            view.setStatus(QString());
            view.clearRecordList();
            LineCounters counters;
            if (refusedWithoutTerminal(module, view)) {
                view.setStatus(QStringLiteral("机器[]的任务处理中止。原因：{机器参数错误}"));
                return Outcome::Refused;
            }
            const QString a = module.Pub_MachAddr.toText();
            view.setStatus(QStringLiteral("开始执行机器[") + a + QStringLiteral("]的处理任务......"));
            // Refused before the terminal is asked: it keeps its records until they can be stored right.
            if (options.get == Tick::Ticked)
                requireBusinessDayTimes(session.times);
            PortGuard port(device);
            const std::optional<bool> portOpen = device.SetPort(module.Pub_ComX);
            if (portOpen.has_value() && !*portOpen) {
                explainDeviceFailure(view, device);
                view.prompts().message(plainBox(QStringLiteral("机器[") + a + QStringLiteral("]的串口打开失败......")));
                view.setStatus(QStringLiteral("机器[") + a + QStringLiteral("]的任务处理中止。原因：{串口打开失败}"));
                return Outcome::Refused;
            }
            if (options.editTime == Tick::Ticked) {
                // One reading of the clock for date and time, so they cannot straddle a second or midnight.
                const QDateTime now = session.clock();
                const QDate d = now.date();
                const QTime t = now.time();
                const bool dateSet = device.ChangeDate(module.Pub_MachAddr, qint16(d.year()), qint16(d.month()),
                                                       qint16(d.day())) == true;
                view.setStatus(tickText(dateSet, a, "]校正日期成功......", "]校正日期失败......"));
                const bool timeSet = device.ChangeTime(module.Pub_MachAddr, t.hour(), t.minute(), t.second()) == true;
                view.setStatus(tickText(timeSet, a, "]校正时间成功......", "]校正时间失败......"));
            }
            const QString source = session.sourceRecordFile();
            bool gatherFailed = false;
            bool gathered = false;
            QString notGathered;
            std::optional<std::size_t> missing;
            // A clear after the gather erases only what this gather read, when the link can say what that is.
            NumberedRecordLink* numbered = options.thenClear ? dynamic_cast<NumberedRecordLink*>(&device) : nullptr;
            std::optional<NumberedRecordLink::Span> span;
            if (options.get == Tick::Ticked) {
                view.setStatus(QStringLiteral("正在进行机器[") + a + QStringLiteral("]的数据采集......"));
                // A transfer that fails must leave no earlier gather's file behind to be saved as this one's.
                QFile stale(source);
                if (stale.exists() && !stale.remove())
                    throw Error(errc::FileIo,
                                QStringLiteral("Cannot remove the earlier %1: %2").arg(source, stale.errorString()));
                QString text1, text2;
                std::optional<bool> transferred;
                if (numbered) {
                    // Read a span and later clear below its end: swipes taken meanwhile stay on the terminal.
                    span = numbered->gatherFrom(module.Pub_MachAddr.toInt16(), 0);
                    transferred = span.has_value();
                    // An empty terminal gives an empty file, as a whole transfer does.
                    if (span && span->read == span->next) {
                        DurableFile empty(source);
                        if (!empty.open() || !empty.commit())
                            throw Error(errc::FileIo, empty.errorString());
                    }
                } else {
                    transferred = device.GatherData(module.Pub_MachAddr.toInt16(), text1, text2);
                }
                // Stopped mid-transfer: nothing was stored, the terminal keeps its records.
                stopIfCancelled(view, QStringLiteral("during the transfer from terminal %1; nothing was stored, the "
                                                     "terminal keeps its records")
                                          .arg(a));
                if (transferred == true) {
                    if (!QFileInfo(source).isFile()) {
                        view.prompts().message(
                            promptBox(QStringLiteral("考勤机：[") + a + QStringLiteral("]没有数据可采集!")));
                        return Outcome::Refused;
                    }
                    const StoredFile stored =
                        StoreRecordLines(source, session, view, StepOrder::GatherRun, options.thenClear);
                    counters = stored.counters;
                    missing = stored.missing;
                    gathered = true;
                    const QString summary = QStringLiteral("机器[") + a + QStringLiteral("]数据采集成功,记录总数：") +
                                            QString::number(counters.read) + QStringLiteral(",正确处理记录数：") +
                                            signPlace(counters.stored);
                    view.setStatus(summary);
                    view.setCaption(summary);
                } else {
                    gatherFailed = true;
                    explainDeviceFailure(view, device);
                    const DeviceFault fault = device.lastError();
                    notGathered = fault.osReason.isEmpty() || fault.text.contains(fault.osReason)
                                      ? fault.text
                                      : fault.text + QStringLiteral(": ") + fault.osReason;
                    const QString failed = QStringLiteral("机器[") + a + QStringLiteral("]数据采集失败......");
                    view.setStatus(failed);
                    view.setCaption(failed);
                }
            }
            QString copy;
            QString notSaved;
            if (options.save == Tick::Ticked) {
                view.setStatus(QStringLiteral("正在进行机器[") + a + QStringLiteral("]的考勤数据另存......"));
                const bool saved = SaveGatherFile(session.host, source, a, session.clock, &copy, &notSaved);
                view.setStatus(tickText(saved, a, "]的考勤数据另存成功......", "]的考勤数据另存失败......"));
                // A failed gather left no file to save: its own failure stays the run's reason.
                if (!saved && !gatherFailed)
                    view.setDetail(notSaved);
            }
            std::optional<bool> cleared;  // empty: no clearing was asked for or it was refused
            bool clearRefused = false;
            stopIfCancelled(view, QStringLiteral("after the records of terminal %1 were handled, before its log row "
                                                 "and any clearing; the terminal keeps its records")
                                      .arg(a));
            if (options.thenClear) {
                const QString refusal =
                    clearRefusal({.asked = options.get == Tick::Ticked,
                                  .gathered = gathered,
                                  .notGathered = notGathered,
                                  .counters = counters,
                                  .missing = missing,
                                  .given = span ? std::optional<quint32>(span->next - span->read) : std::nullopt,
                                  .source = source,
                                  .copy = copy,
                                  .notSaved = notSaved},
                                 view);
                clearRefused = !refusal.isEmpty();
                if (clearRefused)
                    view.setStatus(QStringLiteral("机器[") + a + QStringLiteral("]的数据清理中止。原因：{") + refusal +
                                   QStringLiteral("}"));
                else
                    cleared = clearRecords(session, view, span ? std::optional<quint32>(span->next) : std::nullopt);
            }
            port.close();
            offerFailedLines(view, counters.errors, QStringLiteral("数据采集过程中出现了"));
            WriteCtrlLog(view, module.Pub_UserName, session.clock(), QStringLiteral("数据采集"),
                         QStringLiteral("机器:") + a,
                         gatherFailed ? QStringLiteral("采集失败！") : QStringLiteral("采集成功！"));
            if (cleared)
                logClearing(session, view, *cleared);
            if (gatherFailed)
                return Outcome::DeviceFailed;
            if (clearRefused)
                return Outcome::Refused;
            return cleared == false ? Outcome::DeviceFailed : Outcome::Completed;
        },
        descriptionBox);
}

Outcome runGather(GatherSession& session, OperatorView& view, const GatherOptions& options) {
    if (options.get != Tick::Ticked)
        return gatherOnce(session, view, options);
    WatchedView watched(view);
    const Outcome outcome = gatherOnce(session, watched, options);
    // Whoever gathered, the window or the command, the site's history learns how it ended.
    // It never changes the run's outcome: the records are stored or not whatever it says.
    const Mdl_GatherData& module = session.module;
    if (module.Pub_MachAddr.equalsEmptyText())
        return outcome;
    try {
        GatherEnd end;
        end.machAddr = module.Pub_MachAddr.toText();
        end.port = module.Pub_ComX.isNull() ? QString() : module.Pub_ComX.toText();
        end.at = session.clock();
        end.outcome = outcome;
        end.counters = watched.totals;
        end.reason = outcome == Outcome::Completed ? QString() : watched.reason();
        recordGatherEnd(session.Conn, end);
    } catch (const Error& e) {
        qCWarning(lcOps).noquote() << "the gather of terminal" << module.Pub_MachAddr.toText() << "was not added to"
                                   << GatherStateTable << ":" << e.description();
    } catch (const std::exception& e) {
        qCWarning(lcOps).noquote() << "the gather was not added to" << GatherStateTable << ":" << e.what();
    }
    return outcome;
}

}  // namespace tallyfold
