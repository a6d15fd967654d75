#include "gather_window/widget_prompts.h"
#include "info_window/window_font.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

using namespace tallyfold;

// The real message boxes, answered by pressing their real buttons.
class tst_widget_prompts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answers_data();
    void answers();
    void fileFilter();
    void fileDialogStartsInFolder();
};

void tst_widget_prompts::answers_data() {
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("expected");
    QTest::newRow("ok") << int(MessageButtons::Ok) << int(QMessageBox::Ok) << int(MessageAnswer::Ok);
    // The clearing's confirmation: OK must go on, Cancel must stop.
    QTest::newRow("confirm ok") << int(MessageButtons::OkCancel) << int(QMessageBox::Ok) << int(MessageAnswer::Ok);
    QTest::newRow("confirm cancel") << int(MessageButtons::OkCancel) << int(QMessageBox::Cancel)
                                    << int(MessageAnswer::Cancel);
    QTest::newRow("yes") << int(MessageButtons::YesNo) << int(QMessageBox::Yes) << int(MessageAnswer::Yes);
    QTest::newRow("no") << int(MessageButtons::YesNo) << int(QMessageBox::No) << int(MessageAnswer::No);
}

void tst_widget_prompts::answers() {
    QFETCH(int, buttons);
    QFETCH(int, press);
    QFETCH(int, expected);
    QString shownText, shownTitle;
    QFont shownFont;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        shownText = box->text();
        shownTitle = box->windowTitle();
        shownFont = box->font();
        box->button(QMessageBox::StandardButton(press))->click();
    });
    WidgetPrompts prompts(nullptr);
    MessageRequest request{QStringLiteral("错误：\r\n机器参数错误，请查证后重试..."), MessageIcon::Information,
                           MessageButtons(buttons), MessageAnswer::Cancel, QStringLiteral("系统提示")};
    QCOMPARE(int(prompts.message(request)), expected);
    QCOMPARE(shownText, QStringLiteral("错误：\n机器参数错误，请查证后重试..."));
    QCOMPARE(shownTitle, QStringLiteral("系统提示"));
    QCOMPARE(shownFont, windowFont());
}

void tst_widget_prompts::fileFilter() {
    QCOMPARE(qtFileFilter(QStringLiteral("考勤记录文件(*.txt)|*.txt|全部文件(*.*)|*.*")),
             QStringLiteral("考勤记录文件(*.txt);;全部文件(*.*)"));
    QCOMPARE(qtFileFilter(QStringLiteral("Text|*.txt")), QStringLiteral("Text (*.txt)"));
}

void tst_widget_prompts::fileDialogStartsInFolder() {
    QTemporaryDir folder;
    QString shownFolder, shownFilters;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        shownFolder = dialog->directory().absolutePath();
        shownFilters = dialog->nameFilters().join(QLatin1Char(';'));
        dialog->reject();
    });
    WidgetPrompts prompts(nullptr, folder.path());
    // Cancelled: no file.
    QCOMPARE(prompts.chooseOpenFile(QStringLiteral("Text|*.txt|All|*.*")), QString());
    QCOMPARE(shownFolder, folder.path());
    QCOMPARE(shownFilters, QStringLiteral("Text (*.txt);All (*.*)"));
}

QTEST_MAIN(tst_widget_prompts)
#include "tst_widget_prompts.moc"
