#include <QtTest>
class tst_terminal_operations : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_terminal_operations)
#include "tst_terminal_operations.moc"
