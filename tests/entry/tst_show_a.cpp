#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "outside/component_registry.h"
#include "outside/host_schema.h"
#include "outside/interfaces.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QApplication>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
class UnreachablePermission : public PermissionAuth {
public:
    Variant CheckPermission(std::shared_ptr<Connection>&, const QString&, QString&, const Variant&, const QString&,
                            bool, bool) override {
        throw Error(-1, QStringLiteral("permission store unreachable"));
    }
};
}  // namespace

// What a host's ShowA leaves the operator with.
class tst_show_a : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void storesNothingWithoutTheTimes();
};

// The permission component fails before the load reads the business day's times, and leaves
// every button on: a file read then stores nothing, rather than its records on made-up days.
void tst_show_a::storesNothingWithoutTheTimes() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    registerComponent(progid::Permission, [] { return std::make_unique<UnreachablePermission>(); });
    RecordingView prompts;
    F_GatherData& w = showGatherWindow(Variant(DemoUser), Variant(DemoCaption), &prompts);
    unregisterComponent(progid::Permission);
    QVERIFY(w.isEnabled(Button::Read));
    prompts.fileToChoose = writeFile(home.file(QStringLiteral("saved.txt")), "011111112403050100\r\n");
    w.press(Button::Read);
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("0"));
    QVERIFY2(prompts.boxTexts().join(u'\n').contains(
                 QStringLiteral("the business-day times in Tcon_MonTime cannot be read")),
             qPrintable(prompts.boxTexts().join(u'\n')));
    w.close();
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tst_show_a test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_show_a.moc"
