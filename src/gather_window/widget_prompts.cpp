#include "gather_window/widget_prompts.h"

#include "info_window/window_font.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QScreen>
#include <QStringList>

namespace tallyfold {

namespace {
// Types and icons from the name alone. Qt's own provider reads a file to guess its type, and
// closing that descriptor drops every POSIX lock this process holds on the file: SQLite's on the
// database, its log and its shared memory in Database/. Another program would then take itself
// for the last one open and delete the log the window still writes into.
class NameOnlyIconProvider : public QFileIconProvider {
public:
    QIcon icon(const QFileInfo& info) const override {
        if (info.isRoot())
            return QFileIconProvider::icon(Drive);
        if (info.isDir())
            return QFileIconProvider::icon(Folder);
        const QMimeType mime = mimeType(info);
        return QIcon::fromTheme(mime.iconName(),
                                QIcon::fromTheme(mime.genericIconName(), QFileIconProvider::icon(File)));
    }
    QString type(const QFileInfo& info) const override {
        if (!info.isFile())
            return QFileIconProvider::type(info);  // reads no file
        const QMimeType mime = mimeType(info);
        return mime.comment().isEmpty() ? mime.name() : mime.comment();
    }

private:
    QMimeType mimeType(const QFileInfo& info) const {
        return mimes_.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension);
    }
    QMimeDatabase mimes_;
};
}  // namespace

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
    QString title = request.title;
    if (title.isEmpty())
        title = title_.isEmpty() ? QApplication::applicationDisplayName() : title_;
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
    NameOnlyIconProvider iconProvider;  // outlives the dialog
    QFileDialog dialog(parent_);
    // Before the dialog lists anything: a desktop's own dialog may run in this process and read the
    // files it shows; this one reads none of them.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setIconProvider(&iconProvider);
    dialog.setOption(QFileDialog::DontUseCustomDirectoryIcons);
    if (!startFolder_.isEmpty())
        dialog.setDirectory(startFolder_);
    dialog.setNameFilter(qtFileFilter(filter));
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
