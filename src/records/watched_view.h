#pragma once

#include "records/operator_view.h"
#include "records/store_record_line.h"

namespace tallyfold {

// Hands everything on to the operator's view and keeps what the end of a run
// is told by: the counters and why it stopped (the last detail, else the last box).
class WatchedView : public OperatorView, public Prompts {
public:
    explicit WatchedView(OperatorView& view) : view_(view) {}

    LineCounters totals;
    QString reason() const { return lastDetail_.isEmpty() ? lastBox_ : lastDetail_; }

    void setStatus(const QString& text) override { view_.setStatus(text); }
    void setCaption(const QString& text) override { view_.setCaption(text); }
    void clearRecordList() override { view_.clearRecordList(); }
    void addRecordRow(const QString& a, const QString& c, const QString& d, const QString& t) override {
        view_.addRecordRow(a, c, d, t);
    }
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& text) override {
        view_.addFailedLine(position, key, lineNumber, text);
    }
    void showFailedLines() override { view_.showFailedLines(); }
    void discardFailedLines() override { view_.discardFailedLines(); }
    Prompts& prompts() override { return *this; }
    void setProgress(qint64 done, qint64 total) override { view_.setProgress(done, total); }
    void setDetail(const QString& text) override {
        lastDetail_ = text;
        view_.setDetail(text);
    }
    void setTotals(const LineCounters& counters) override {
        totals = counters;
        view_.setTotals(counters);
    }
    void keepAlive() override { view_.keepAlive(); }
    void failedLineReason(const QString& key, const QString& reason) override { view_.failedLineReason(key, reason); }
    void logNotWritten(const QString& reason) override { view_.logNotWritten(reason); }
    bool cancelRequested() const override { return view_.cancelRequested(); }
    QString stopCause() const override { return view_.stopCause(); }

    MessageAnswer message(const MessageRequest& request) override {
        if (request.buttons == MessageButtons::Ok)
            lastBox_ = request.text;
        return view_.prompts().message(request);
    }
    QString chooseOpenFile(const QString& filter) override { return view_.prompts().chooseOpenFile(filter); }

private:
    OperatorView& view_;
    QString lastDetail_;
    QString lastBox_;
};

}  // namespace tallyfold
