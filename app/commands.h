#pragma once

#include <QStringList>
#include <QTextStream>

namespace tallyfold {

// Runs one command line (without the program name); returns the exit status:
// 0 reached its end, 1 refused, failed or ended through its error trap, 2 usage error.
int runCommandLine(QStringList args, QTextStream& out, QTextStream& err);

}  // namespace tallyfold
