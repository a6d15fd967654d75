#pragma once

#include <QString>

namespace tallyfold {

// The folder that holds the library's own file (found through dladdr).
QString componentFolder();

// Where the host keeps Source/, Database/ and Config/, and which database it
// uses. The entry layer or the command fills it once and hands it on as a value.
struct HostSettings {
    QString home;              // empty: the parent of the library's folder
    QString connectionString;  // empty: connectionFile, else Config/Tallyfold.ini, else the embedded database
    QString connectionFile{};  // a file holding the connection string, read when it exists

    QString folder() const;
    // A path below the host folder, written as the system writes it: the
    // component folder, then "/../", then the rest, with ".." left unresolved.
    QString path(const QString& relative) const;
    QString sourceRecordFile() const { return path(QStringLiteral("Source/SourceRecordSet.txt")); }
    QString embeddedConnectionString() const;
    // The explicit connection string, else the first line of connectionFile that
    // is neither blank nor a '#' comment, else Config/Tallyfold.ini ([Database]
    // ConnectionString=), else the embedded SQLite file Database/tallyfold.db.
    // Throws when connectionFile exists but cannot be read or holds no line.
    QString configuredConnectionString() const;
};

// What a host that loads the library gets: TALLYFOLD_HOME and
// TALLYFOLD_CONNECTION when set, so a relocated install needs no code; without
// TALLYFOLD_HOME, the host folder the build was given for an install under /usr,
// and the connection file the build was given (/etc/tallyfold/connection there).
HostSettings hostSettingsFromEnvironment();

}  // namespace tallyfold
