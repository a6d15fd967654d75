#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"

#include "platform/connection.h"
#include "platform/connection_string.h"

#include <sys/stat.h>
#include <QFile>

namespace tallyfold {

namespace {

// The embedded database's own files are never read as records: closing any descriptor of them would drop
// the locks SQLite holds on them in this process, and another process could then delete the live WAL.
void refuseDatabaseFile(const GatherSession& session, const QString& path) {
    const ConnectionString cs(session.Conn ? session.Conn->ConnectionString() : QString());
    if (providerKind(cs) != ProviderKind::SQLite)
        return;
    struct stat chosen {};
    if (::stat(QFile::encodeName(path).constData(), &chosen) != 0)
        return;  // the reader says why it cannot be read
    const QString database = cs.value(QStringLiteral("Data Source"));
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        struct stat own {};
        if (::stat(QFile::encodeName(database + QLatin1String(suffix)).constData(), &own) == 0 &&
            own.st_dev == chosen.st_dev && own.st_ino == chosen.st_ino)
            throw Error(errc::FileIo,
                        QStringLiteral("%1 is a file of the database itself, not a record file").arg(path));
    }
}

}  // namespace

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
            refuseDatabaseFile(session, path);
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
