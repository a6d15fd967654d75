#include "platform/ansi_text_reader.h"

#include "platform/error.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

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
    // Opened without blocking and looked at before reading: opening a FIFO would wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw Error(errc::FileIo,
                    QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw Error(errc::FileIo, QStringLiteral("%1 is not a regular file").arg(path));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file_.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw Error(errc::FileIo, QStringLiteral("Cannot open %1: %2").arg(path, file_.errorString()));
    }
    const QByteArray codePage = ansiCodePage().toLatin1();
    iconv_t cd = iconv_open("UTF-8", codePage.constData());
    if (cd == iconv_t(-1))
        throw Error(errc::FileIo, QStringLiteral("Code page %1 is not available").arg(ansiCodePage()));
    converter_ = cd;
    if (fill() && buffer_.size() - next_ >= 3 && buffer_.startsWith("\xEF\xBB\xBF"))
        next_ += 3;
}

AnsiTextReader::~AnsiTextReader() {
    if (converter_)
        iconv_close(static_cast<iconv_t>(converter_));
}

bool AnsiTextReader::fill() {
    constexpr qsizetype Chunk = 64 * 1024;
    // The mark and a CR LF pair can straddle two reads: keep a few bytes ahead.
    while (!ended_ && buffer_.size() - next_ < 4) {
        buffer_.remove(0, next_);
        next_ = 0;
        const qsizetype have = buffer_.size();
        buffer_.resize(have + Chunk);
        const qint64 got = file_.read(buffer_.data() + have, Chunk);
        if (got < 0)
            throw Error(errc::FileIo, QStringLiteral("Read error: %1").arg(file_.errorString()));
        buffer_.resize(have + got);
        ended_ = got == 0;
    }
    return next_ < buffer_.size();
}

bool AnsiTextReader::atEndOfStream() {
    return !fill();
}

QString AnsiTextReader::readLine() {
    if (!fill())
        throw Error(62, QStringLiteral("Input past end of file"));
    QByteArray line;
    cut_ = false;
    for (;;) {
        const char* begin = buffer_.constData() + next_;
        const char* end = buffer_.constData() + buffer_.size();
        const char* stop = begin;
        while (stop != end && *stop != '\n' && *stop != '\r')
            ++stop;
        const qsizetype room = MaxLineBytes - line.size();
        if (stop - begin > room)
            cut_ = true;
        line.append(begin, std::min<qsizetype>(stop - begin, room));
        next_ += stop - begin;
        if (stop != end) {
            ++next_;
            // CR LF is one end, and so is CR CR LF, which some terminals' drivers write.
            if (*stop == '\r' && fill()) {
                if (buffer_.at(next_) == '\n')
                    ++next_;
                else if (buffer_.at(next_) == '\r' && next_ + 1 < buffer_.size() && buffer_.at(next_ + 1) == '\n')
                    next_ += 2;
            }
            break;
        }
        if (!fill())
            break;
    }
    return decodeAnsi(line, converter_);
}

}  // namespace tallyfold
