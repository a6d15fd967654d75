#pragma once

#include "records/operator_view.h"
#include "records/store_record_line.h"

#include <QHash>
#include <QMutex>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace tallyfold {

enum class OutputFormat { Text, Json };

// One field of an event: a text, a number, a duration in seconds, a mark, or nothing (null).
// In text a true mark is written as its key, a false one not at all.
using FieldValue = std::variant<std::nullptr_t, QString, qint64, double, bool>;
struct Field {
    const char* key;
    FieldValue value;
};

// Where the command writes: events on the output stream (tab-separated text or JSON
// lines), its own errors and the progress on the error stream. Events may come from
// any thread (log messages of the store's writer), so writing is serialised.
class Console {
public:
    Console(QTextStream& out, QTextStream& err) : out_(out), err_(err) {}

    OutputFormat format = OutputFormat::Text;
    bool quiet = false;           // only summaries
    bool progressShown = false;   // the error stream is a terminal
    bool outIsTerminal = false;   // the progress line must be cleared before an event
    std::function<qint64()> now;  // milliseconds, for the progress rate; a steady clock when empty

    void event(const QString& name, const std::vector<Field>& fields);
    // A table for a person to read: a header row, then the rows, each column as wide as its
    // widest cell on a terminal (two columns for a wide character) and two blanks apart.
    // Texts are written as in events, so a cell never breaks its line.
    struct Column {
        const char* header;
        bool right = false;  // numbers: aligned on the right
    };
    void table(const std::vector<Column>& columns, const std::vector<QStringList>& rows);
    // "tallyfold: text" on the error stream.
    void error(const QString& text);
    void plain(const QString& text);  // help, version: as it is, on the output stream
    void progress(qint64 done, qint64 total);
    void endProgress();

    // Values never printed (passwords): replaced by *** wherever they appear.
    void addSecret(const QString& secret);
    QString masked(QString text) const;

    qint64 detailsWritten() const { return details_; }

private:
    void clearProgressLine();
    qint64 clock() const;

    QTextStream& out_;
    QTextStream& err_;
    mutable QMutex mutex_;
    QStringList secrets_;
    qint64 details_ = 0;
    bool progressLine_ = false;
    qint64 progressStart_ = -1;
    qint64 progressLastDraw_ = 0;
    qint64 progressLastDone_ = 0;
};

// Hides the values of Password= and Pwd= in a connection string.
QString maskedConnectionString(const QString& connectionString);
// The values of Password= and Pwd= in a connection string.
QStringList connectionStringSecrets(const QString& connectionString);

// Text fields: a backslash, tab, CR, LF and NUL written as \\, \t, \r, \n, \0.
QString escapedText(const QString& text);
QString jsonString(const QString& text);

// The operator's view on the console. It answers the prompts as the command line
// said and keeps what a run gave it for the run's summary.
class ConsoleView : public OperatorView, public Prompts {
public:
    explicit ConsoleView(Console& console) : console_(console) {}

    QString fileToChoose;
    bool showFailed = true;
    bool confirm = false;
    // Set when several terminals are gathered at once: every event then names its terminal.
    QString terminal;

    // The counters the current run handed over when it stored a file.
    std::optional<LineCounters> totals;

    void setStatus(const QString& text) override;
    void setCaption(const QString& text) override;
    void clearRecordList() override {}
    void addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) override;
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& recordText) override;
    void showFailedLines() override;
    void failedLineReason(const QString& key, const QString& reason) override { reasons_[key] = reason; }
    void logNotWritten(const QString& reason) override;
    void discardFailedLines() override {
        failed_.clear();
        reasons_.clear();
    }
    Prompts& prompts() override { return *this; }
    // One progress line cannot follow several terminals at once.
    void setProgress(qint64 done, qint64 total) override {
        if (terminal.isEmpty())
            console_.progress(done, total);
    }
    void setDetail(const QString& text) override;
    void setTotals(const LineCounters& counters) override { totals = counters; }
    bool cancelRequested() const override;
    QString stopCause() const override;

    MessageAnswer message(const MessageRequest& request) override;

    // Why the run did not complete, in the database's or the device link's words: the
    // last detail it gave, else the last box it showed, else the last status it set.
    QString failureReason() const {
        return !lastDetail_.isEmpty() ? lastDetail_ : !lastBox_.isEmpty() ? lastBox_ : lastStatus_;
    }
    QString chooseOpenFile(const QString&) override { return fileToChoose; }

private:
    void event(const QString& name, std::vector<Field> fields);

    struct Failed {
        QString key;
        QString lineNumber;
        QString text;
    };
    Console& console_;
    QString lastDetail_;
    QString lastBox_;
    QString lastStatus_;
    std::vector<Failed> failed_;
    QHash<QString, QString> reasons_;
};

// Why a failed line failed, as far as the line itself tells; empty when the database refused it.
QString failedLineReason(const QString& recordText);

}  // namespace tallyfold
