#pragma once

#include <QFile>
#include <QString>

namespace tallyfold {

// Reads a text file in the system's ANSI code page (CP936 unless
// TALLYFOLD_CODEPAGE names another), one line at a time. It opens for reading
// only and never creates the file; CR LF, LF and a last line without an end all work.
class AnsiTextReader {
public:
    explicit AnsiTextReader(const QString& path);
    ~AnsiTextReader();
    AnsiTextReader(const AnsiTextReader&) = delete;
    AnsiTextReader& operator=(const AnsiTextReader&) = delete;

    bool atEndOfStream();
    QString readLine();

private:
    QFile file_;
    void* converter_ = nullptr;  // iconv_t
};

QString ansiCodePage();
QString decodeAnsi(const QByteArray& bytes, void* converter);

}  // namespace tallyfold
