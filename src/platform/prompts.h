#pragma once

#include <QString>

namespace tallyfold {

enum class MessageIcon { None, Information, Question, Warning, Critical };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageAnswer { Ok, Cancel, Yes, No };

struct MessageRequest {
    QString text;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
    MessageAnswer defaultAnswer = MessageAnswer::Ok;
    QString title;  // empty: the platform's default title
};

// Message boxes and the file-open dialog behind one interface, so that the
// window shows them, the command line prints them and tests answer them.
class Prompts {
public:
    virtual ~Prompts() = default;
    virtual MessageAnswer message(const MessageRequest& request) = 0;
    // The chosen file's full path, or "" when the operator cancelled.
    virtual QString chooseOpenFile(const QString& filter) = 0;
};

// The three box forms of the system.
MessageRequest promptBox(const QString& text, MessageIcon icon = MessageIcon::Information);
MessageRequest plainBox(const QString& text);
MessageRequest yesNoQuestion(const QString& text);

}  // namespace tallyfold
