#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class TstTablePermission : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rowGrants_data() { addBackendRows(); }
    void rowGrants() {
        TALLYFOLD_DATABASE_TEST(home, false);
        execute(home.connection(), QStringLiteral("insert into UserPermission (UserName, SystemName, FunctionName) "
                                                  "values ('U1', '考勤系统', '消费管理.测试')"));
        std::shared_ptr<Connection> cn = HostDatabaseTool(home.settings()).ActiveCn();
        auto auth = createComponent<PermissionAuth>(progid::Permission);
        struct Case {
            const char* user;
            const char* system;
            const char* function;
            bool granted;
        };
        // Each field of the row must match; a near miss in any one denies.
        const Case cases[] = {
            {"U1", "考勤系统", "消费管理.测试", true},  {"U2", "考勤系统", "消费管理.测试", false},
            {"U1", "门禁系统", "消费管理.测试", false}, {"U1", "考勤系统", "消费管理.读取", false},
            {"U1", "考勤系统", "消费管理", false},      {"", "", "", false},
        };
        for (const Case& c : cases) {
            QString user = QString::fromUtf8(c.user);
            const Variant answer = auth->CheckPermission(cn, QString::fromUtf8(c.system), user, Variant(),
                                                         QString::fromUtf8(c.function), false, false);
            QCOMPARE(answer.kind(), Variant::Kind::Boolean);
            QVERIFY2(answer.equalsFalse() != c.granted, c.function);
        }
    }
};

QTEST_GUILESS_MAIN(TstTablePermission)
#include "tst_table_permission.moc"
