#include "outside/host_folder.h"

#include <dlfcn.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tallyfold {

QString componentFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&componentFolder), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    return QDir::currentPath();
}

QString HostSettings::folder() const {
    if (!home.isEmpty())
        return QDir(home).absolutePath();
    return QDir::cleanPath(componentFolder() + QStringLiteral("/.."));
}

QString HostSettings::path(const QString& relative) const {
    if (!home.isEmpty())
        return QDir(home).absolutePath() + QLatin1Char('/') + relative;
    return componentFolder() + QStringLiteral("/../") + relative;
}

QString HostSettings::embeddedConnectionString() const {
    return QStringLiteral("Provider=SQLite;Data Source=%1;").arg(folder() + QStringLiteral("/Database/tallyfold.db"));
}

// Read by hand: a connection string is full of ';', which INI readers take for a comment.
static QString iniConnectionString(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    bool inDatabase = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inDatabase = line.compare(QStringLiteral("[Database]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inDatabase || eq < 0 ||
            line.left(eq).trimmed().compare(QStringLiteral("ConnectionString"), Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

QString HostSettings::configuredConnectionString() const {
    if (!connectionString.isEmpty())
        return connectionString;
    const QString fromIni = iniConnectionString(folder() + QStringLiteral("/Config/Tallyfold.ini"));
    if (!fromIni.isEmpty())
        return fromIni;
    return embeddedConnectionString();
}

HostSettings hostSettingsFromEnvironment() {
    HostSettings settings{qEnvironmentVariable("TALLYFOLD_HOME"), qEnvironmentVariable("TALLYFOLD_CONNECTION")};
#ifdef TALLYFOLD_DEFAULT_HOME
    // Installed under /usr the parent of the library's folder is no host folder.
    if (settings.home.isEmpty())
        settings.home = QStringLiteral(TALLYFOLD_DEFAULT_HOME);
#endif
    return settings;
}

}  // namespace tallyfold
