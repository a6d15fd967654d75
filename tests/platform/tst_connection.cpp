#include "platform/connection.h"
#include "support/test_databases.h"

#include <QDir>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}
}  // namespace

class TstConnection : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A host that opens connections, closes them and exits leaves no thread of ours running.
    void lastCloseEndsTheWatchdog_data() { addBackendRows(); }
    void lastCloseEndsTheWatchdog() {
        QFETCH(QString, connection);
        if (!requireBackend(connection))
            return;
        const TestHome home(connection);
        const int before = threadCount();
        {
            Connection first(home.connection());
            Connection second(home.connection());
            first.Open();
            second.Open();
            QCOMPARE_GT(threadCount(), before);
            first.Close();
            QCOMPARE_GT(threadCount(), before);
        }
        QCOMPARE(threadCount(), before);
    }
};

QTEST_GUILESS_MAIN(TstConnection)
#include "tst_connection.moc"
