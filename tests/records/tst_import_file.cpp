#include <QtTest>
class tst_import_file : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_import_file)
#include "tst_import_file.moc"
