#include "outside/host_folder.h"

#include "platform/error.h"

#include <dlfcn.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

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

// A file that is there but unreadable is an error of its own: falling back would
// quietly open another database.
static QString fileConnectionString(const QString& path) {
    if (::access(QFile::encodeName(path).constData(), F_OK) != 0) {
        const int error = errno;
        if (error == ENOENT)
            return QString();
        throw Error(errc::FileIo, QStringLiteral("cannot read the connection string file %1: %2")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw Error(errc::FileIo,
                    QStringLiteral("cannot read the connection string file %1: %2").arg(path, file.errorString()));
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            return line;
    }
    if (file.error() != QFileDevice::NoError)
        throw Error(errc::FileIo,
                    QStringLiteral("cannot read the connection string file %1: %2").arg(path, file.errorString()));
    throw Error(errc::FileIo, QStringLiteral("the connection string file %1 holds no connection string").arg(path));
}

QString HostSettings::configuredConnectionString() const {
    if (!connectionString.isEmpty())
        return connectionString;
    if (!connectionFile.isEmpty())
        if (const QString fromFile = fileConnectionString(connectionFile); !fromFile.isEmpty())
            return fromFile;
    const QString fromIni = iniConnectionString(folder() + QStringLiteral("/Config/Tallyfold.ini"));
    if (!fromIni.isEmpty())
        return fromIni;
    return embeddedConnectionString();
}

HostSettings hostSettingsFromEnvironment() {
    HostSettings settings{qEnvironmentVariable("TALLYFOLD_HOME"), qEnvironmentVariable("TALLYFOLD_CONNECTION"), {}};
#ifdef TALLYFOLD_CONNECTION_FILE
    settings.connectionFile = QStringLiteral(TALLYFOLD_CONNECTION_FILE);
#endif
#ifdef TALLYFOLD_DEFAULT_HOME
    // Installed under /usr the parent of the library's folder is no host folder.
    if (settings.home.isEmpty())
        settings.home = QStringLiteral(TALLYFOLD_DEFAULT_HOME);
#endif
    return settings;
}

}  // namespace tallyfold
