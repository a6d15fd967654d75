#include "outside/host_folder.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"

#include <QFileInfo>

namespace tallyfold {

static QString tickText(bool ok, const QString& a, const char* done, const char* failed) {
    return QStringLiteral("机器[") + a + QString::fromUtf8(ok ? done : failed);
}

Outcome runGather(GatherSession& session, OperatorView& view, const GatherOptions& options) {
    view.discardFailedLines();
    return trapped(
        view,
        [&] {
            Mdl_GatherData& module = session.module;
            DeviceLink& device = *session.Device;
            view.setStatus(QString());
            view.clearRecordList();
            LineCounters counters;
            if (refusedWithoutTerminal(module, view)) {
                view.setStatus(QStringLiteral("机器[]的任务处理中止。原因：{机器参数错误}"));
                return Outcome::Refused;
            }
            const QString a = module.Pub_MachAddr.toText();
            view.setStatus(QStringLiteral("开始执行机器[") + a + QStringLiteral("]的处理任务......"));
            const std::optional<bool> portOpen = device.SetPort(module.Pub_ComX);
            if (portOpen.has_value() && !*portOpen) {
                view.prompts().message(plainBox(QStringLiteral("机器[") + a + QStringLiteral("]的串口打开失败......")));
                view.setStatus(QStringLiteral("机器[") + a + QStringLiteral("]的任务处理中止。原因：{串口打开失败}"));
                return Outcome::Refused;
            }
            if (options.editTime == 1) {
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
            if (options.get == 1) {
                view.setStatus(QStringLiteral("正在进行机器[") + a + QStringLiteral("]的数据采集......"));
                QString text1, text2;
                if (device.GatherData(module.Pub_MachAddr.toInt16(), text1, text2) == true) {
                    if (!QFileInfo(source).isFile()) {
                        view.prompts().message(
                            promptBox(QStringLiteral("考勤机：[") + a + QStringLiteral("]没有数据可采集!")));
                        return Outcome::Refused;
                    }
                    counters = storeRecordFile(source, session, view, StepOrder::GatherRun);
                    const QString summary = QStringLiteral("机器[") + a + QStringLiteral("]数据采集成功,记录总数：") +
                                            QString::number(counters.read) + QStringLiteral(",正确处理记录数：") +
                                            signPlace(counters.stored);
                    view.setStatus(summary);
                    view.setCaption(summary);
                } else {
                    gatherFailed = true;
                    const QString failed = QStringLiteral("机器[") + a + QStringLiteral("]数据采集失败......");
                    view.setStatus(failed);
                    view.setCaption(failed);
                }
            }
            if (options.save == 1) {
                view.setStatus(QStringLiteral("正在进行机器[") + a + QStringLiteral("]的考勤数据另存......"));
                const bool saved = SaveGatherFile(session.host, source, a, session.clock);
                view.setStatus(tickText(saved, a, "]的考勤数据另存成功......", "]的考勤数据另存失败......"));
            }
            device.DestoryPort();
            offerFailedLines(view, counters.errors, QStringLiteral("数据采集过程中出现了"));
            WriteCtrlLog(module.Pub_UserName, session.clock(), QStringLiteral("数据采集"), QStringLiteral("机器:") + a,
                         gatherFailed ? QStringLiteral("采集失败！") : QStringLiteral("采集成功！"));
            return gatherFailed ? Outcome::DeviceFailed : Outcome::Completed;
        },
        descriptionBox);
}

}  // namespace tallyfold
