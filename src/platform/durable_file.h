#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

namespace tallyfold {

// A file that, once commit() says true, is whole on the disk: every byte written
// (a short write is an error, never a smaller file), flushed with its folder, and
// read back equal to what was written. Only then may a record's other copy, a
// terminal's, be erased. It is written to a temporary beside the target, created
// fresh, and renamed; on any failure the temporary is removed and errorString()
// says what failed with the system's own reason.
class DurableFile {
public:
    enum class Existing {
        Replace,  // the target is replaced, as a new gather's file replaces the last one
        Keep,     // an existing target is never replaced: the file takes stem-2.ext, stem-3.ext, ...
    };

    explicit DurableFile(QString target, Existing existing = Existing::Replace);
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    bool open();
    bool write(const QByteArray& bytes);
    bool commit();
    // Drops what was written; the target stays as it was.
    void cancel();

    // The name the file got at commit (with Keep, perhaps not the target).
    QString path() const { return path_; }
    // What failed and why, in one line.
    QString errorString() const { return reason_.isEmpty() ? what_ : what_ + QStringLiteral(": ") + reason_; }
    // What failed, without the why; and the system's words alone (strerror), empty
    // when the failure was no system call's.
    QString whatFailed() const { return what_; }
    QString systemReason() const { return reason_; }

private:
    bool fail(const QString& what, int error);
    bool placed();
    bool readBack();

    QString target_;
    Existing existing_;
    QString temporary_;
    QString path_;
    int fd_ = -1;
    qint64 size_ = 0;
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    QString what_;
    QString reason_;
};

// Writes all of `data` at `at` (or the file's position when negative); false with errno set, never
// with part of it left unwritten unsaid.
bool writeFully(int fd, const char* data, qint64 size, qint64 at = -1);
// Flushes a folder's entries to the disk; false with errno set.
bool syncFolder(const QString& folder);

// Copies `source` to `target` as a DurableFile. The copy's path on success, else
// empty with the reason in `error` (when given).
QString copyDurably(const QString& source, const QString& target, DurableFile::Existing existing,
                    QString* error = nullptr);

}  // namespace tallyfold
