// A host that imports one record file through the real window, as an operator
// would: ShowA, press "读取", pick the file in the file dialog, answer "否" to the
// failed-lines question. It uses only the library's public API and finds the
// window's widgets the way any host could. Prints one JSON line.
//
// usage: window_bench_host FILE   (TALLYFOLD_HOME names the host folder)
//        window_bench_host --first-paint showa|plain|text
//        window_bench_host --cycles N [--warm-up W]
// The second form times one window from the call that shows it to its first paint:
// the gathering window through ShowA, or a plain QWidget of the same size and title
// through show(), the reference; "text" is the plain window with one label of the
// caption's text, which pays what the first text a process draws costs (the font
// database, a CJK face). Each process shows one window, so all pay the same
// first-window costs.
// The third opens the window through ShowA N times in one process (default 200), each
// time letting the host's loop run until it has painted, closing it as the close box
// does and letting its deferred deletes run; it gives the process's resident memory,
// threads and open descriptors after window W (default 10) and after the last, and the
// medians, over the windows after W, of the time ShowA took to return and to first paint.
#include <tallyfold/kq.h>

#include <malloc.h>
#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
QWidget* gatherWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->findChild<QStatusBar*>())
            return w;
    return nullptr;
}

QPushButton* buttonWithText(QWidget* window, const QString& text) {
    for (QPushButton* b : window->findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

QString statusText(QWidget* window) {
    QStatusBar* bar = window->findChild<QStatusBar*>();
    for (QLabel* label : bar->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            return label->text();
    return bar->currentMessage();
}

int recordRows(QWidget* window) {
    QGroupBox* frame = window->findChild<QGroupBox*>();
    QAbstractItemView* list = frame ? frame->findChild<QAbstractItemView*>() : nullptr;
    return list && list->model() ? list->model()->rowCount() : -1;
}

// Notes the time of the first paint a top-level window receives; in the host's
// event loop (not one the call to show may run itself) it then ends that loop.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(const QElapsedTimer& clock) : clock_(clock) {}
    qint64 at = -1;
    bool looping = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (at < 0 && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow()) {
            at = clock_.nsecsElapsed();
            if (looping)
                QTimer::singleShot(0, qApp, &QApplication::quit);
        }
        return false;
    }

private:
    const QElapsedTimer& clock_;
};

int firstPaint(const QString& which) {
    QElapsedTimer clock;
    FirstPaint paint(clock);
    qApp->installEventFilter(&paint);
    tallyfold::KQ kq;
    QWidget plain;
    clock.start();
    if (which == QLatin1String("plain") || which == QLatin1String("text")) {
        plain.resize(654, 518);
        plain.setWindowTitle(QStringLiteral("计次餐饮数据采集"));
        if (which == QLatin1String("text"))
            new QLabel(QStringLiteral("计次餐饮数据采集"), &plain);
        plain.show();
    } else {
        try {
            kq.ShowA(tallyfold::Variant(QStringLiteral("admin")), tallyfold::Variant(QStringLiteral("bench")),
                     tallyfold::Variant(QStringLiteral("消费管理")), QDateTime::currentDateTime());
        } catch (const tallyfold::Error& e) {
            std::fprintf(stderr, "ShowA: %s\n", qPrintable(e.description()));
            return 1;
        }
    }
    const qint64 returned = clock.nsecsElapsed();
    if (paint.at < 0) {
        paint.looping = true;
        QTimer::singleShot(5000, qApp, &QApplication::quit);
        QApplication::exec();
    }
    if (paint.at < 0) {
        std::fputs("no paint within 5 s\n", stderr);
        return 1;
    }
    std::printf("{\"first_paint_ms\": %.3f, \"returned_ms\": %.3f}\n", double(paint.at) / 1e6, double(returned) / 1e6);
    QApplication::closeAllWindows();
    return 0;
}

struct Usage {
    long rssKb = -1;
    qsizetype threads = -1;
    qsizetype fds = -1;
};

Usage usage() {
    // Freed memory that malloc keeps for later comes and goes in whole pages from run to run;
    // what is still resident after handing it back is what the process holds.
    malloc_trim(0);
    Usage u;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                u.rssKb = line.mid(6).trimmed().split(' ').value(0).toLong();
    const QDir::Filters entries = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System;
    u.threads = QDir(QStringLiteral("/proc/self/task")).entryList(entries).size();
    // Counted after the listing has closed the descriptor it read /proc/self/fd through.
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(entries);
    u.fds = fds.size() - 1;
    return u;
}

QByteArray usageJson(const Usage& u) {
    return QByteArray("{\"rss_kb\": ") + QByteArray::number(qlonglong(u.rssKb)) +
           ", \"threads\": " + QByteArray::number(u.threads) + ", \"fds\": " + QByteArray::number(u.fds) + "}";
}

// Opens, paints, closes and deletes the window, one cycle after another, all from the
// host's own loop.
class Cycles : public QObject {
public:
    Cycles(int total, int warmUp) : total_(total), warmUp_(warmUp) {}
    int result = 1;

    void open() {
        clock_.start();
        try {
            kq_.ShowA(tallyfold::Variant(QStringLiteral("admin")), tallyfold::Variant(QStringLiteral("bench")),
                      tallyfold::Variant(QStringLiteral("消费管理")), QDateTime::currentDateTime());
        } catch (const tallyfold::Error& e) {
            fail(QStringLiteral("ShowA: ") + e.description());
            return;
        }
        returned_ = clock_.nsecsElapsed();
        window_ = gatherWindow();
        if (!window_)
            return fail(QStringLiteral("ShowA showed no window"));
        painted_ = false;
        bound_.start();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!painted_ && window_ && watched == window_.data() && event->type() == QEvent::Paint) {
            painted_ = true;
            if (done_ >= warmUp_) {
                returnedMs_.push_back(double(returned_) / 1e6);
                paintedMs_.push_back(double(clock_.nsecsElapsed()) / 1e6);
            }
            QTimer::singleShot(0, this, [this] { close(); });
        }
        return false;
    }

private:
    void close() {
        window_->close();
        QTimer::singleShot(0, this, [this] { deleted(); });
    }

    // WA_DeleteOnClose deletes the window from the loop; the next cycle starts once it has.
    void deleted() {
        if (window_) {
            if (bound_.elapsed() > 5000)
                return fail(QStringLiteral("window %1 was not deleted within 5 s").arg(done_ + 1));
            QTimer::singleShot(1, this, [this] { deleted(); });
            return;
        }
        ++done_;
        if (done_ == warmUp_)
            warm_ = usage();
        if (done_ < total_) {
            QTimer::singleShot(0, this, [this] { open(); });
            return;
        }
        const Usage last = usage();
        std::printf(
            "{\"windows\": %d, \"warm_up\": %d, \"after_warm_up\": %s, \"after_last\": %s, "
            "\"returned_ms\": %.3f, \"first_paint_ms\": %.3f}\n",
            total_, warmUp_, usageJson(warm_).constData(), usageJson(last).constData(), median(returnedMs_),
            median(paintedMs_));
        result = 0;
        QApplication::quit();
    }

    void fail(const QString& why) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        QApplication::exit(1);
    }

    static double median(std::vector<double> v) {
        if (v.empty())
            return -1;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    tallyfold::KQ kq_;
    const int total_;
    const int warmUp_;
    int done_ = 0;
    bool painted_ = false;
    QPointer<QWidget> window_;
    QElapsedTimer bound_;
    QElapsedTimer clock_;  // from ShowA's call
    qint64 returned_ = 0;
    std::vector<double> returnedMs_, paintedMs_;
    Usage warm_;
};

int cycles(int total, int warmUp) {
    if (total < 1 || warmUp < 1 || warmUp > total) {
        std::fputs("--cycles N needs 1 <= W <= N\n", stderr);
        return 1;
    }
    // The host outlives each window, as one with a window of its own would.
    QApplication::setQuitOnLastWindowClosed(false);
    Cycles run(total, warmUp);
    qApp->installEventFilter(&run);
    // A window that never paints ends the run rather than holding it.
    QTimer::singleShot(0, &run, [&run] { run.open(); });
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        std::fputs("no progress within the run's bound\n", stderr);
        QApplication::exit(1);
    });
    watchdog.start(std::max(60000, total * 2000));
    const int rc = QApplication::exec();
    return rc != 0 ? rc : run.result;
}

QString jsonText(const QString& s) {
    QString out = s;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}
}  // namespace

// The process's own peak resident memory. Not getrusage's maxrss: Linux carries into it what
// the process it was forked from held when it started this program (the bench's Python,
// holding the records it generated).
double peakMemoryMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: window_bench_host FILE | --first-paint showa|plain|text | --cycles N [--warm-up W]\n",
                   stderr);
        return 1;
    }
    if (argc == 3 && QByteArray(argv[1]) == "--first-paint")
        return firstPaint(QString::fromLocal8Bit(argv[2]));
    if (QByteArray(argv[1]) == "--cycles") {
        const int total = argc > 2 ? QByteArray(argv[2]).toInt() : 200;
        const int warmUp = argc > 4 && QByteArray(argv[3]) == "--warm-up" ? QByteArray(argv[4]).toInt() : 10;
        return cycles(total, warmUp);
    }
    const QString file = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    if (!QFileInfo(file).isFile()) {
        std::fprintf(stderr, "no file %s\n", qPrintable(file));  // the dialog would wait for one forever
        return 1;
    }
    QElapsedTimer process;
    process.start();
    tallyfold::KQ kq;
    tallyfold::Variant user(QStringLiteral("admin")), title(QStringLiteral("bench")),
        caption(QStringLiteral("消费管理"));
    QDateTime today = QDateTime::currentDateTime();
    try {
        kq.ShowA(user, title, caption, today);
    } catch (const tallyfold::Error& e) {
        std::fprintf(stderr, "ShowA: %s\n", qPrintable(e.description()));
        return 1;
    }
    QWidget* window = gatherWindow();
    QPushButton* read = window ? buttonWithText(window, QStringLiteral("读取")) : nullptr;
    if (!read || !read->isEnabled()) {
        std::fputs("no window with an enabled 读取 button\n", stderr);
        return 1;
    }

    // Answers the dialogs as soon as they are up; its ticks also measure how
    // long the window leaves its event queue unattended.
    QElapsedTimer clock;
    clock.start();
    qint64 accepted = -1, lastTick = -1, maxGap = 0, maxGapAt = 0;
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (accepted >= 0 && lastTick >= 0 && now - lastTick > maxGap) {
            maxGap = now - lastTick;
            maxGapAt = lastTick - accepted;
        }
        lastTick = now;
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            dialog->selectFile(file);
            accepted = clock.elapsed();
            static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, through the public slot
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (QAbstractButton* no = box->button(QMessageBox::No)) {
                no->click();
            } else {
                std::fprintf(stderr, "box: %s\n", qPrintable(box->text()));
                box->button(QMessageBox::Ok)->click();
            }
        }
    });
    answer.start();
    // The window's own handler was connected first, so this runs once the import has returned.
    QObject::connect(read, &QPushButton::clicked, [&] {
        const qint64 finished = clock.elapsed();
        answer.stop();
        const double peakMb = peakMemoryMb();
        std::printf(
            "{\"window_s\": %.3f, \"process_s\": %.3f, \"max_gap_ms\": %lld, \"max_gap_at_s\": %.3f, "
            "\"peak_mb\": %.1f, \"rows\": %d, "
            "\"status\": %s}\n",
            double(finished - accepted) / 1000.0, double(process.elapsed()) / 1000.0, maxGap, double(maxGapAt) / 1000.0,
            peakMb, recordRows(window), qPrintable(jsonText(statusText(window))));
        std::fflush(stdout);
        QTimer::singleShot(0, &app, [] {
            QApplication::closeAllWindows();
            QApplication::quit();
        });
    });
    QTimer::singleShot(0, read, &QPushButton::click);
    return QApplication::exec();
}
