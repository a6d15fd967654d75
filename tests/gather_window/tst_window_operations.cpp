#include <QtTest>
class tst_window_operations : public QObject { Q_OBJECT };
QTEST_MAIN(tst_window_operations)
#include "tst_window_operations.moc"
