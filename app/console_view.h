#pragma once

#include "records/operator_view.h"

#include <QStringList>
#include <QTextStream>
#include <vector>

namespace tallyfold {

// The operator's view on a console: every event one line, fields separated by
// a tab, texts as the window shows them with line breaks written as \r and \n.
class ConsoleView : public OperatorView, public Prompts {
public:
    explicit ConsoleView(QTextStream& out) : out_(out) {}

    // How the console answers: the file to import, yes/no to the failed-lines question, the confirmation.
    QString fileToChoose;
    bool showFailed = true;
    bool confirm = false;

    void setStatus(const QString& text) override { line({QStringLiteral("status"), text}); }
    void setCaption(const QString& text) override { line({QStringLiteral("caption"), text}); }
    void clearRecordList() override {}
    void addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) override {
        line({QStringLiteral("record"), address, card, date, time});
    }
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& recordText) override;
    void showFailedLines() override;
    void discardFailedLines() override { failed_.clear(); }
    Prompts& prompts() override { return *this; }
    void processPendingEvents() override {}

    MessageAnswer message(const MessageRequest& request) override;
    QString chooseOpenFile(const QString&) override { return fileToChoose; }

    void line(const QStringList& fields);

private:
    QTextStream& out_;
    std::vector<QStringList> failed_;
};

QString consoleText(QString text);

}  // namespace tallyfold
