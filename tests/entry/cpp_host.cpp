// A C++ host that calls ShowA where it cannot be taken: with no application, with a
// QCoreApplication, and from a thread of its own. Each is error 5, and the window opens after.
#include <tallyfold/kq.h>

#include <QApplication>
#include <cstdio>
#include <memory>
#include <thread>

namespace {
long showA() {
    tallyfold::KQ kq;
    tallyfold::Variant user("admin"), title, caption("消费管理");
    QDateTime today = QDateTime::currentDateTime();
    try {
        kq.ShowA(user, title, caption, today);
        return 0;
    } catch (const tallyfold::Error& e) {
        std::printf("error %ld: %s\n", e.number(), qPrintable(e.description()));
        return e.number();
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (showA() != 5)
        return 1;
    {
        QCoreApplication core(argc, argv);
        if (showA() != 5)
            return 1;
    }
    QApplication app(argc, argv);
    long fromThread = 0;
    std::thread([&] { fromThread = showA(); }).join();
    if (fromThread != 5)
        return 1;
    return showA() == 0 ? 0 : 1;
}
