#include "outside/host_folder.h"

#include <dlfcn.h>
#include <QDir>
#include <QFileInfo>

namespace tallyfold {

QString componentFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&componentFolder), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    return QDir::currentPath();
}

QString hostFolder() {
    const QString home = qEnvironmentVariable("TALLYFOLD_HOME");
    if (!home.isEmpty())
        return QDir(home).absolutePath();
    return QDir::cleanPath(componentFolder() + QStringLiteral("/.."));
}

QString hostPath(const QString& relative) {
    const QString home = qEnvironmentVariable("TALLYFOLD_HOME");
    if (!home.isEmpty())
        return QDir(home).absolutePath() + QLatin1Char('/') + relative;
    return componentFolder() + QStringLiteral("/../") + relative;
}

QString sourceRecordFilePath() {
    return hostPath(QStringLiteral("Source/SourceRecordSet.txt"));
}

}  // namespace tallyfold
