#include "gather_window/widget_prompts.h"

#include "info_window/window_font.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStringList>

namespace tallyfold {

QString qtFileFilter(const QString& pipeFilter) {
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString& pattern = parts[i + 1];
        filters << (description.contains(QLatin1Char('('))
                        ? description
                        : description + QStringLiteral(" (") + pattern + QLatin1Char(')'));
    }
    return filters.join(QStringLiteral(";;"));
}

MessageAnswer WidgetPrompts::message(const MessageRequest& request) {
    QMessageBox box(parent_);
    // A box is a window of its own and would not take its parent's font.
    box.setFont(windowFont());
    box.setText(QString(request.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    // A box without a title of its own takes its window's caption, not the host program's name.
    QString title = request.title;
    if (title.isEmpty())
        title = parent_ && !parent_->window()->windowTitle().isEmpty() ? parent_->window()->windowTitle()
                                                                       : QApplication::applicationDisplayName();
    box.setWindowTitle(title);
    // A box sizes itself to its text alone; a short text would cut its title off. Room for the
    // title and a window manager's buttons beside it.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(box.fontMetrics().horizontalAdvance(title) + 120, 0, QSizePolicy::Minimum,
                                      QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    switch (request.icon) {
    case MessageIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case MessageIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MessageIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MessageIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case MessageIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    switch (request.buttons) {
    case MessageButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageButtons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(request.defaultAnswer == MessageAnswer::Cancel ? QMessageBox::Cancel : QMessageBox::Ok);
        break;
    case MessageButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(request.defaultAnswer == MessageAnswer::No ? QMessageBox::No : QMessageBox::Yes);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return MessageAnswer::Ok;
    case QMessageBox::Cancel:
        return MessageAnswer::Cancel;
    case QMessageBox::Yes:
        return MessageAnswer::Yes;
    case QMessageBox::No:
        return MessageAnswer::No;
    default:
        return request.buttons == MessageButtons::OkCancel ? MessageAnswer::Cancel : MessageAnswer::Ok;
    }
}

QString WidgetPrompts::chooseOpenFile(const QString& filter) {
    QFileDialog dialog(parent_, QString(), startFolder_, qtFileFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setFont(windowFont());
    // Kept on a small screen: the dialog's own size may be more than a high scale factor leaves.
    if (const QScreen* screen = parent_ ? parent_->screen() : QGuiApplication::primaryScreen())
        dialog.resize(dialog.sizeHint().boundedTo(screen->availableGeometry().size() * 9 / 10));
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

}  // namespace tallyfold
