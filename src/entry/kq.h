#pragma once

#include "platform/error.h"
#include "platform/export.h"
#include "platform/variant.h"

#include <QDateTime>

namespace tallyfold {

// The class a host creates: ShowA opens the gathering window for one operator
// and returns while the window stays open. Errors raise tallyfold::Error; error 5
// (errc::InvalidCall) when there is no QApplication, when the calling thread is
// not the application's, or from inside another ShowA; nothing is changed then.
class TALLYFOLD_EXPORT KQ {
public:
    // By reference, as the hosts written for the original component pass their variables.
    void ShowA(Variant& VarUser, Variant& VarTitle, Variant& VarCaption, QDateTime& VarSysDate);
    // The same for a host that passes values it made for the call.
    void ShowA(const Variant& user, const Variant& title, const Variant& caption, const QDateTime& sysDate);
};

}  // namespace tallyfold
