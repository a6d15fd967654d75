#include <QtTest>
class tst_terminal_list : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_terminal_list)
#include "tst_terminal_list.moc"
