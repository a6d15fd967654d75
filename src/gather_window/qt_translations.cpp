#include "gather_window/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tallyfold {

namespace {
const char* const TranslatorName = "tallyfold-qtbase-zh_CN";

// The stock button's text as Qt would show it now.
bool qtTextsTranslated() {
    return QCoreApplication::translate("QPlatformTheme", "Cancel") != QLatin1String("Cancel");
}
}  // namespace

bool installQtTranslations() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    // Ours stays installed once loaded; a host's own translation is never overridden.
    if (app->findChild<QTranslator*>(QLatin1String(TranslatorName), Qt::FindDirectChildrenOnly) || qtTextsTranslated())
        return qtTextsTranslated();
    auto* translator = new QTranslator(app);
    translator->setObjectName(QLatin1String(TranslatorName));
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}

}  // namespace tallyfold
