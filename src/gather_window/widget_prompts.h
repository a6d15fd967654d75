#pragma once

#include "platform/prompts.h"

class QWidget;

namespace tallyfold {

// Message boxes and the file-open dialog as real modal widgets, in the windows' font.
class WidgetPrompts : public Prompts {
public:
    // The file dialog opens in `startFolder` (empty: the working folder).
    explicit WidgetPrompts(QWidget* parent, QString startFolder = QString())
        : parent_(parent), startFolder_(std::move(startFolder)) {}
    MessageAnswer message(const MessageRequest& request) override;
    QString chooseOpenFile(const QString& filter) override;

private:
    QWidget* parent_;
    QString startFolder_;
};

// "a|*.a|b|*.b" as Qt's "a (*.a);;b (*.b)".
QString qtFileFilter(const QString& pipeFilter);

}  // namespace tallyfold
