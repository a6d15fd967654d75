#pragma once

#include <QString>

namespace tallyfold {

// The folder that holds the library's own file (found through dladdr).
QString componentFolder();
// The host folder: TALLYFOLD_HOME when set, else the parent of componentFolder().
QString hostFolder();
// A path below the host folder, written as the system writes it: the
// component folder, then "/../", then the rest, with ".." left unresolved.
QString hostPath(const QString& relative);

QString sourceRecordFilePath();

}  // namespace tallyfold
