#include "console_view.h"

namespace tallyfold {

QString consoleText(QString text) {
    text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return text;
}

void ConsoleView::line(const QStringList& fields) {
    QStringList escaped;
    for (const QString& f : fields)
        escaped << consoleText(f);
    out_ << escaped.join(QLatin1Char('\t')) << '\n';
    // Record rows come by the thousand; the other lines are what a watcher waits for.
    if (fields.first() != QLatin1String("record"))
        out_.flush();
}

void ConsoleView::addFailedLine(int position, const QString& key, const QString& lineNumber,
                                const QString& recordText) {
    const std::size_t at = std::min(failed_.size(), std::size_t(std::max(position - 1, 0)));
    failed_.insert(failed_.begin() + std::ptrdiff_t(at),
                   QStringList{QStringLiteral("failed"), key, lineNumber, recordText});
}

void ConsoleView::showFailedLines() {
    for (const QStringList& row : failed_)
        line(row);
    failed_.clear();
}

MessageAnswer ConsoleView::message(const MessageRequest& request) {
    switch (request.buttons) {
    case MessageButtons::Ok:
        line({QStringLiteral("message"), request.text});
        return MessageAnswer::Ok;
    case MessageButtons::YesNo:
        line({QStringLiteral("question"), request.text, showFailed ? QStringLiteral("Yes") : QStringLiteral("No")});
        return showFailed ? MessageAnswer::Yes : MessageAnswer::No;
    case MessageButtons::OkCancel:
        line({QStringLiteral("question"), request.text, confirm ? QStringLiteral("OK") : QStringLiteral("Cancel")});
        return confirm ? MessageAnswer::Ok : MessageAnswer::Cancel;
    }
    return MessageAnswer::Ok;
}

}  // namespace tallyfold
