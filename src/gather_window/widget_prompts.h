#pragma once

#include "platform/prompts.h"

class QWidget;

namespace tallyfold {

// Message boxes and the file-open dialog as real modal widgets, in the windows' font.
class WidgetPrompts : public Prompts {
public:
    // The file dialog opens in `startFolder` (empty: the working folder); a box without a title
    // of its own takes `title` (empty: the application's name).
    explicit WidgetPrompts(QWidget* parent, QString startFolder = QString(), QString title = QString())
        : parent_(parent), startFolder_(std::move(startFolder)), title_(std::move(title)) {}
    MessageAnswer message(const MessageRequest& request) override;
    QString chooseOpenFile(const QString& filter) override;

private:
    QWidget* parent_;
    QString startFolder_;
    QString title_;
};

// "a|*.a|b|*.b" as Qt's "a (*.a);;b (*.b)".
QString qtFileFilter(const QString& pipeFilter);

}  // namespace tallyfold
