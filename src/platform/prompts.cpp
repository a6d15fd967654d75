#include "platform/prompts.h"

namespace tallyfold {

MessageRequest promptBox(const QString& text, MessageIcon icon) {
    return MessageRequest{text, icon, MessageButtons::Ok, MessageAnswer::Ok, QStringLiteral("系统提示")};
}

MessageRequest plainBox(const QString& text) {
    return MessageRequest{text, MessageIcon::None, MessageButtons::Ok, MessageAnswer::Ok, QString()};
}

MessageRequest yesNoQuestion(const QString& text) {
    return MessageRequest{text, MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::Yes,
                          QStringLiteral("系统提示")};
}

}  // namespace tallyfold
