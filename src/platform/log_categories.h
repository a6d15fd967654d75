#pragma once

#include <QLoggingCategory>

namespace tallyfold {

// Why something failed, for whoever must mend it: the database (tallyfold.db), the
// device link (tallyfold.device) and the operations (tallyfold.ops). Warnings are on
// by default; the command turns on the rest with --verbose. Defined inline, so any
// layer can use them without a source file of its own.
inline const QLoggingCategory& lcDb() {
    static const QLoggingCategory category("tallyfold.db", QtWarningMsg);
    return category;
}
inline const QLoggingCategory& lcDevice() {
    static const QLoggingCategory category("tallyfold.device", QtWarningMsg);
    return category;
}
inline const QLoggingCategory& lcOps() {
    static const QLoggingCategory category("tallyfold.ops", QtWarningMsg);
    return category;
}

}  // namespace tallyfold
