#include "platform/ansi_text_reader.h"

#include "platform/error.h"

#include <iconv.h>
#include <QFileInfo>

namespace tallyfold {

QString ansiCodePage() {
    const QByteArray configured = qgetenv("TALLYFOLD_CODEPAGE");
    return configured.isEmpty() ? QStringLiteral("CP936") : QString::fromLatin1(configured);
}

QString decodeAnsi(const QByteArray& bytes, void* converter) {
    bool ascii = true;
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii || !converter)
        return QString::fromLatin1(bytes);
    auto cd = static_cast<iconv_t>(converter);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    QByteArray out(bytes.size() * 4 + 4, Qt::Uninitialized);
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char* dst = out.data();
    size_t outLeft = size_t(out.size());
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != size_t(-1))
            break;
        if (errno == E2BIG)
            break;
        // A byte that is no character of the code page becomes U+FFFD; the rest still converts.
        ++in;
        --inLeft;
        if (outLeft >= 3) {
            *dst++ = char(0xEF);
            *dst++ = char(0xBF);
            *dst++ = char(0xBD);
            outLeft -= 3;
        }
    }
    out.truncate(out.size() - qsizetype(outLeft));
    return QString::fromUtf8(out);
}

AnsiTextReader::AnsiTextReader(const QString& path) : file_(path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(errc::FileNotFound, QStringLiteral("File not found: %1").arg(path));
    if (info.isDir())
        throw Error(errc::FileIo, QStringLiteral("Path is a folder, not a file: %1").arg(path));
    if (!file_.open(QIODevice::ReadOnly))
        throw Error(errc::FileIo, QStringLiteral("Cannot open %1: %2").arg(path, file_.errorString()));
    const QByteArray codePage = ansiCodePage().toLatin1();
    iconv_t cd = iconv_open("UTF-8", codePage.constData());
    if (cd == iconv_t(-1))
        throw Error(errc::FileIo, QStringLiteral("Code page %1 is not available").arg(ansiCodePage()));
    converter_ = cd;
}

AnsiTextReader::~AnsiTextReader() {
    if (converter_)
        iconv_close(static_cast<iconv_t>(converter_));
}

bool AnsiTextReader::atEndOfStream() {
    return file_.atEnd();
}

QString AnsiTextReader::readLine() {
    if (file_.atEnd())
        throw Error(62, QStringLiteral("Input past end of file"));
    QByteArray line = file_.readLine();
    if (line.isEmpty() && file_.error() != QFileDevice::NoError)
        throw Error(errc::FileIo, QStringLiteral("Read error: %1").arg(file_.errorString()));
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return decodeAnsi(line, converter_);
}

}  // namespace tallyfold
