#pragma once

#include <QString>

namespace tallyfold {

// Only one gather, import, clear or link test at a time works in a host folder
// (the timer's gather and an operator's import, say). The kernel holds the lock
// on tallyfold.lock, so it ends with its process, on this machine or on another
// that shares the folder; the process and host written in the file only name the holder.
class HostLock {
public:
    explicit HostLock(const QString& folder);
    ~HostLock();
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;

    static QString fileIn(const QString& folder) { return folder + QStringLiteral("/tallyfold.lock"); }
    // Takes the lock on an open descriptor of the lock file; false when another holds it.
    static bool take(int fd);
    // What a holder writes in the file: its process id and host, one a line.
    static QByteArray holderText();

private:
    int fd_ = -1;
};

}  // namespace tallyfold
