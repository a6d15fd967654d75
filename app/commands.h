#pragma once

#include "console_view.h"

#include <QStringList>

namespace tallyfold {

// Runs one command line (without the program name) and returns the exit status:
// 0 done and no line failed, 3 done but some lines failed, 1 refused, failed or
// ended through its error trap, 2 a usage error.
int runCommandLine(const QStringList& args, Console& console);

}  // namespace tallyfold
