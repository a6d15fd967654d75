#include "entry/tallyfold.h"

#include "entry/kq.h"
#include "entry/library_module.h"
#include "platform/error.h"

#include <unistd.h>
#include <QApplication>
#include <QByteArray>

struct tallyfold_kq {
    tallyfold::KQ kq;
};

namespace {
thread_local QByteArray lastError;

void ensureApplication() {
    if (QCoreApplication::instance())
        return;
    // Made on another thread, the application would take that thread for its own, and the
    // host's main thread could never show the window.
    if (::gettid() != ::getpid())
        throw tallyfold::Error(tallyfold::errc::InvalidCall, tallyfold::OtherThreadText);
    static int argc = 1;
    static char name[] = "tallyfold";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

tallyfold::Variant textOrNull(const char* text) {
    return text ? tallyfold::Variant(QString::fromUtf8(text)) : tallyfold::Variant::null();
}

// "yyyy-MM-dd" and nothing else: a day Qt could not make (2024-13-45) is refused, not passed on invalid.
QDate dateOrToday(const char* text) {
    if (!text)
        return QDate::currentDate();
    const QString given = QString::fromUtf8(text);
    const QDate date = QDate::fromString(given, QStringLiteral("yyyy-MM-dd"));
    if (given.size() != 10 || !date.isValid())
        throw tallyfold::Error(tallyfold::errc::TypeMismatch,
                               QStringLiteral("Type mismatch: \"%1\" is not a date (yyyy-MM-dd)").arg(given));
    return date;
}
}  // namespace

extern "C" {

tallyfold_kq* tallyfold_kq_create(void) {
    return new tallyfold_kq();
}

void tallyfold_kq_release(tallyfold_kq* kq) {
    delete kq;
}

long tallyfold_kq_show_a(tallyfold_kq* kq, const char* user, const char* title, const char* caption,
                         const char* sys_date) {
    lastError.clear();
    if (!kq) {
        lastError = "no KQ object";
        return tallyfold::errc::ObjectNotSet;
    }
    try {
        QDateTime d(dateOrToday(sys_date), QTime(0, 0));
        ensureApplication();
        tallyfold::Variant u = textOrNull(user), t = textOrNull(title), c = textOrNull(caption);
        kq->kq.ShowA(u, t, c, d);
        return 0;
    } catch (const tallyfold::Error& e) {
        lastError = e.description().toUtf8();
        return e.number() ? e.number() : -1;
    } catch (const std::exception& e) {
        lastError = e.what();
        return -1;
    }
}

const char* tallyfold_last_error(void) {
    return lastError.constData();
}

int tallyfold_run_until_closed(void) {
    if (!QCoreApplication::instance() || !tallyfold::gatherWindow())
        return 0;
    QApplication::setQuitOnLastWindowClosed(true);
    return QApplication::exec();
}
}
