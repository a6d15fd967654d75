#include "console_view.h"

#include "command_line.h"
#include "platform/connection_string.h"
#include "records/record_line.h"
#include "stop_signals.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace tallyfold {

namespace {

QString durationText(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString maskedConnectionString(const QString& connectionString) {
    // Where the parser found each password, so that nothing the driver gets is left showing.
    QString result = connectionString;
    const ConnectionString parsed(connectionString);
    const std::vector<ConnectionString::Item>& items = parsed.written();
    for (auto item = items.rbegin(); item != items.rend(); ++item)
        if (item->key == QLatin1String("password"))
            result.replace(item->start, item->length, QStringLiteral("***"));
    return result;
}

QStringList connectionStringSecrets(const QString& connectionString) {
    QStringList secrets;
    const ConnectionString parsed(connectionString);
    for (const ConnectionString::Item& item : parsed.written()) {
        if (item.key != QLatin1String("password"))
            continue;
        // As written, without its quotes or braces, and as the driver gets it: a driver may echo any.
        const QString written = connectionString.mid(item.start, item.length);
        const bool enclosed = written.size() > 2 && QStringLiteral("\"'{").contains(written.front());
        for (const QString& form : {written, enclosed ? written.mid(1, written.size() - 2) : QString(), item.value})
            if (!form.isEmpty() && !secrets.contains(form))
                secrets << form;
    }
    return secrets;
}

QString escapedText(const QString& text) {
    // Most texts (every record's fields) have nothing to escape: shared, not copied.
    if (std::none_of(text.cbegin(), text.cend(), [](QChar c) {
            const char16_t u = c.unicode();
            return u == '\\' || u == '\t' || u == '\r' || u == '\n' || u == 0;
        }))
        return text;
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            result += QStringLiteral("\\\\");
            break;
        case '\t':
            result += QStringLiteral("\\t");
            break;
        case '\r':
            result += QStringLiteral("\\r");
            break;
        case '\n':
            result += QStringLiteral("\\n");
            break;
        case 0:
            result += QStringLiteral("\\0");
            break;
        default:
            result += c;
        }
    }
    return result;
}

QString jsonString(const QString& text) {
    // Qt's own writer escapes the text; the array around it is cut off again.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

void Console::addSecret(const QString& secret) {
    QMutexLocker lock(&mutex_);
    // A one- or two-character password would mask half the output; its key=value form is still masked.
    if (secret.size() >= 3 && !secrets_.contains(secret))
        secrets_ << secret;
}

QString Console::masked(QString text) const {
    for (const QString& secret : secrets_)
        text.replace(secret, QStringLiteral("***"));
    return maskedConnectionString(text);
}

void Console::event(const QString& name, const std::vector<Field>& fields) {
    const bool summary = name == QLatin1String("summary");
    if (quiet && !summary)
        return;
    const bool record = name == QLatin1String("record");
    QMutexLocker lock(&mutex_);
    if (name == QLatin1String("detail"))
        ++details_;
    clearProgressLine();
    QString line;
    if (format == OutputFormat::Json) {
        line = QStringLiteral("{\"event\":") + jsonString(name);
        for (const Field& f : fields) {
            line += QStringLiteral(",\"") + QLatin1String(f.key) + QStringLiteral("\":");
            if (const QString* text = std::get_if<QString>(&f.value))
                line += jsonString(record ? *text : masked(*text));
            else if (const qint64* n = std::get_if<qint64>(&f.value))
                line += QString::number(*n);
            else if (const double* d = std::get_if<double>(&f.value))
                line += QString::number(*d, 'f', 3);
            else if (const bool* mark = std::get_if<bool>(&f.value))
                line += *mark ? QStringLiteral("true") : QStringLiteral("false");
            else
                line += QStringLiteral("null");
        }
        line += QLatin1Char('}');
    } else {
        line.reserve(name.size() + 64);  // a record's line whole, without growing on the way
        line += name;
        for (const Field& f : fields) {
            if (const bool* mark = std::get_if<bool>(&f.value)) {
                if (*mark)
                    line += QLatin1Char('\t') + QLatin1String(f.key);
                continue;
            }
            line += QLatin1Char('\t');
            if (const QString* text = std::get_if<QString>(&f.value))
                line += escapedText(record ? *text : masked(*text));
            else if (const qint64* n = std::get_if<qint64>(&f.value))
                line += QString::number(*n);
            else if (const double* d = std::get_if<double>(&f.value))
                line += QString::number(*d, 'f', 3);
        }
    }
    out_ << line << '\n';
    // Records come by the thousand; the other lines are what a watcher waits for.
    if (!record)
        out_.flush();
}

void Console::table(const std::vector<Column>& columns, const std::vector<QStringList>& rows) {
    if (quiet)
        return;
    QMutexLocker lock(&mutex_);
    std::vector<QStringList> lines{{}};
    for (const Column& c : columns)
        lines.front() << QString::fromUtf8(c.header);
    for (const QStringList& row : rows) {
        QStringList cells;
        for (const QString& cell : row)
            cells << escapedText(masked(cell));
        lines.push_back(cells);
    }
    std::vector<int> widths(columns.size(), 0);
    for (const QStringList& line : lines)
        for (std::size_t i = 0; i < columns.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(line.value(qsizetype(i))));
    clearProgressLine();
    for (const QStringList& line : lines) {
        QString text;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const QString cell = line.value(qsizetype(i));
            const QString padding(widths[i] - displayWidth(cell), QLatin1Char(' '));
            text += (i > 0 ? QStringLiteral("  ") : QString()) + (columns[i].right ? padding + cell : cell + padding);
        }
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        out_ << text << '\n';
    }
    out_.flush();
}

void Console::error(const QString& text) {
    QMutexLocker lock(&mutex_);
    clearProgressLine();
    out_.flush();
    err_ << "tallyfold: " << masked(text) << '\n';
    err_.flush();
}

void Console::plain(const QString& text) {
    QMutexLocker lock(&mutex_);
    out_ << text;
    out_.flush();
}

qint64 Console::clock() const {
    if (now)
        return now();
    static QElapsedTimer steady;
    if (!steady.isValid())
        steady.start();
    return steady.elapsed();
}

void Console::progress(qint64 done, qint64 total) {
    if (!progressShown || quiet)
        return;
    QMutexLocker lock(&mutex_);
    const qint64 t = clock();
    if (progressStart_ < 0 || done < progressLastDone_) {
        progressStart_ = t;
        progressLastDraw_ = t - 1000;
    }
    progressLastDone_ = done;
    const bool finished = total > 0 && done >= total;
    // A few updates a second are enough to watch, and cheap for the transfer that reports.
    if (!finished && t - progressLastDraw_ < 250)
        return;
    progressLastDraw_ = t;
    const double seconds = (t - progressStart_) / 1000.0;
    const double rate = seconds > 0.2 ? done / seconds : 0;
    QString text =
        total > 0 ? QStringLiteral("%1/%2 (%3%)").arg(done).arg(total).arg(done * 100 / total) : QString::number(done);
    if (rate > 0) {
        text += QStringLiteral(", %1/s").arg(qint64(rate));
        if (total > done)
            text += QStringLiteral(", %1 left").arg(durationText(qint64((total - done) / rate + 0.5)));
    }
    if (finished) {
        text += QStringLiteral(", %1").arg(durationText(qint64(seconds + 0.5)));
        progressStart_ = -1;
    }
    err_ << '\r' << text << "\033[K";
    err_.flush();
    progressLine_ = true;
}

void Console::endProgress() {
    QMutexLocker lock(&mutex_);
    if (progressLine_) {
        err_ << '\n';
        err_.flush();
        progressLine_ = false;
    }
    progressStart_ = -1;
}

void Console::clearProgressLine() {
    if (!progressLine_ || !outIsTerminal)
        return;
    err_ << "\r\033[K";
    err_.flush();
    progressLine_ = false;
}

QString failedLineReason(const QString& recordText) {
    if (recordText.size() < RecordTextLength)
        return QStringLiteral("shorter than %1 characters").arg(RecordTextLength);
    if (!parseRecordLine(recordText).hasValidDateTime())
        return QStringLiteral("characters 9 to 18 are not a valid date and time (yymmddhhmm)");
    try {
        recordAddress(recordText);
    } catch (const std::exception&) {
        return QStringLiteral("characters 1 and 2 are not a hexadecimal address");
    }
    return QString();
}

void ConsoleView::event(const QString& name, std::vector<Field> fields) {
    if (!terminal.isEmpty())
        fields.push_back({"terminal", terminal});
    console_.event(name, fields);
}

void ConsoleView::setStatus(const QString& text) {
    if (!text.isEmpty())
        lastStatus_ = console_.masked(text);
    event(QStringLiteral("status"), {{"text", text}});
}

void ConsoleView::setCaption(const QString& text) {
    event(QStringLiteral("caption"), {{"text", text}});
}

void ConsoleView::addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) {
    // A text, as a terminal's address is everywhere else (MachineInfo holds texts such as "01").
    event(QStringLiteral("record"), {{"address", address}, {"card", card}, {"date", date}, {"time", time}});
}

void ConsoleView::addFailedLine(int position, const QString& key, const QString& lineNumber,
                                const QString& recordText) {
    const std::size_t at = std::min(failed_.size(), std::size_t(std::max(position - 1, 0)));
    failed_.insert(failed_.begin() + std::ptrdiff_t(at), Failed{key, lineNumber, recordText});
}

void ConsoleView::showFailedLines() {
    for (const Failed& f : failed_) {
        bool numeric = false;
        const qint64 line = f.lineNumber.toLongLong(&numeric);
        const QString reason = reasons_.value(f.key, tallyfold::failedLineReason(f.text));
        event(QStringLiteral("failed"), {{"key", f.key},
                                         {"line", numeric ? FieldValue(line) : FieldValue(f.lineNumber)},
                                         {"text", f.text},
                                         {"reason", reason.isEmpty() ? FieldValue(nullptr) : reason}});
    }
    failed_.clear();
    reasons_.clear();
}

void ConsoleView::logNotWritten(const QString& reason) {
    console_.error(QStringLiteral("the operation log row could not be written: ") + reason);
}

bool ConsoleView::cancelRequested() const {
    return stopSignal() != 0;
}

QString ConsoleView::stopCause() const {
    return QStringLiteral("stopped by ") + signalName(stopSignal());
}

void ConsoleView::setDetail(const QString& text) {
    lastDetail_ = console_.masked(text);
    event(QStringLiteral("detail"), {{"text", text}});
}

MessageAnswer ConsoleView::message(const MessageRequest& request) {
    switch (request.buttons) {
    case MessageButtons::Ok:
        lastBox_ = console_.masked(request.text);
        event(QStringLiteral("message"), {{"text", request.text}});
        return MessageAnswer::Ok;
    case MessageButtons::YesNo:
        event(QStringLiteral("question"),
              {{"text", request.text}, {"answer", showFailed ? QStringLiteral("Yes") : QStringLiteral("No")}});
        return showFailed ? MessageAnswer::Yes : MessageAnswer::No;
    case MessageButtons::OkCancel:
        event(QStringLiteral("question"),
              {{"text", request.text}, {"answer", confirm ? QStringLiteral("OK") : QStringLiteral("Cancel")}});
        return confirm ? MessageAnswer::Ok : MessageAnswer::Cancel;
    }
    return MessageAnswer::Ok;
}

}  // namespace tallyfold
