#pragma once

#include "platform/prompts.h"

class QWidget;

namespace tallyfold {

// Message boxes and the file-open dialog as real modal widgets.
class WidgetPrompts : public Prompts {
public:
    explicit WidgetPrompts(QWidget* parent) : parent_(parent) {}
    MessageAnswer message(const MessageRequest& request) override;
    QString chooseOpenFile(const QString& filter) override;

private:
    QWidget* parent_;
};

// "a|*.a|b|*.b" as Qt's "a (*.a);;b (*.b)".
QString qtFileFilter(const QString& pipeFilter);

}  // namespace tallyfold
