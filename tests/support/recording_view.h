#pragma once

#include "records/operator_view.h"

#include <QList>
#include <QStringList>
#include <deque>

namespace tallyfold::test {

// An operator view that records what an operation shows and answers its
// boxes from a script, so operations run without a modal loop.
class RecordingView : public OperatorView, public Prompts {
public:
    QStringList statuses;
    QStringList captions;
    QList<QStringList> records;
    QList<QStringList> failedLines;  // key, line number, text
    QList<MessageRequest> boxes;
    int failedShown = 0;
    int failedDiscarded = 0;
    int pendingEventsProcessed = 0;
    QStringList reasons;  // key + ": " + reason, for failed lines that carry one
    QStringList details;
    QStringList logsNotWritten;

    std::deque<MessageAnswer> answers;  // taken in order; when empty: Ok / Yes
    QString fileToChoose;
    QStringList filtersAsked;

    void setStatus(const QString& text) override { statuses << text; }
    void setCaption(const QString& text) override { captions << text; }
    void clearRecordList() override { records.clear(); }
    void addRecordRow(const QString& a, const QString& c, const QString& d, const QString& t) override {
        records << QStringList{a, c, d, t};
    }
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& text) override {
        failedLines.insert(qBound(0, position - 1, int(failedLines.size())), QStringList{key, lineNumber, text});
    }
    void showFailedLines() override { ++failedShown; }
    void discardFailedLines() override {
        failedLines.clear();
        ++failedDiscarded;
    }
    void failedLineReason(const QString& key, const QString& reason) override { reasons << key + ": " + reason; }
    void setDetail(const QString& text) override { details << text; }
    void logNotWritten(const QString& reason) override { logsNotWritten << reason; }
    Prompts& prompts() override { return *this; }
    void keepAlive() override { ++pendingEventsProcessed; }

    MessageAnswer message(const MessageRequest& request) override {
        boxes << request;
        if (!answers.empty()) {
            const MessageAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
    QString chooseOpenFile(const QString& filter) override {
        filtersAsked << filter;
        return fileToChoose;
    }

    QStringList boxTexts() const {
        QStringList texts;
        for (const MessageRequest& b : boxes)
            texts << b.text;
        return texts;
    }
};

}  // namespace tallyfold::test
