#include "info_window/window_font.h"

#include <QFontDatabase>
#include <QStringList>

namespace tallyfold {

QFont windowFont() {
    const QStringList families = QFontDatabase::families();
    for (const char* name : {"宋体", "SimSun", "NSimSun", "Noto Serif CJK SC", "Noto Sans CJK SC"})
        if (families.contains(QString::fromUtf8(name)))
            return QFont(QString::fromUtf8(name), 9);
    return QFont(QStringLiteral("serif"), 9);
}

}  // namespace tallyfold
