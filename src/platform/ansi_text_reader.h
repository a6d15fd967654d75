#pragma once

#include <QFile>
#include <QString>

namespace tallyfold {

// Reads a text file in the system's ANSI code page (CP936 unless
// TALLYFOLD_CODEPAGE names another), one line at a time. It opens for reading
// only, never creates the file and takes regular files only (a FIFO or a device
// would never end, or block). A line ends at CR LF, LF or a lone CR (some
// terminals and editors write CR alone) or CR CR LF, and a last line may have no end; a
// UTF-8 byte-order mark at the start is skipped, so no record is lost to it.
class AnsiTextReader {
public:
    explicit AnsiTextReader(const QString& path);
    ~AnsiTextReader();
    AnsiTextReader(const AnsiTextReader&) = delete;
    AnsiTextReader& operator=(const AnsiTextReader&) = delete;

    bool atEndOfStream();
    // A line longer than MaxLineBytes comes back cut to that length, the rest of it
    // skipped unread into memory, and lastLineCut() tells so.
    QString readLine();
    bool lastLineCut() const { return cut_; }
    static constexpr qsizetype MaxLineBytes = 4096;
    // Bytes taken from the file so far, for progress.
    qint64 position() const { return file_.pos() - (buffer_.size() - next_); }
    qint64 size() const { return file_.size(); }

private:
    // Keeps at least one unread byte in the buffer unless the file has ended.
    bool fill();

    QFile file_;
    void* converter_ = nullptr;  // iconv_t
    QByteArray buffer_;
    qsizetype next_ = 0;
    bool ended_ = false;
    bool cut_ = false;
};

QString ansiCodePage();
QString decodeAnsi(const QByteArray& bytes, void* converter);

}  // namespace tallyfold
