#include "outside/host_schema.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class TstHostSchema : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runningAgainChangesNothing_data() { addBackendRows(); }
    void runningAgainChangesNothing() {
        TALLYFOLD_DATABASE_TEST(home, true);
        const QStringList tables{QStringLiteral("MachineInfo"), QStringLiteral("Tcon_MonTime"),
                                 QStringLiteral("Tcon_ConsumeDtl"), QStringLiteral("CtrlLog"),
                                 QStringLiteral("UserPermission")};
        const auto counts = [&] {
            QStringList n;
            for (const QString& t : tables)
                n << scalar(home.connection(), QStringLiteral("select count(*) from ") + t);
            return n;
        };
        const QStringList once = counts();
        QCOMPARE(once, (QStringList{QStringLiteral("3"), QStringLiteral("3"), QStringLiteral("0"), QStringLiteral("0"),
                                    QStringLiteral("3")}));
        for (int run = 0; run < 2; ++run) {
            Connection c(home.connection());
            c.Open();
            createHostSchema(c);
            addDemoData(c);
        }
        QCOMPARE(counts(), once);
    }
};

QTEST_GUILESS_MAIN(TstHostSchema)
#include "tst_host_schema.moc"
