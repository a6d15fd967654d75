#pragma once

#include "outside/host_folder.h"
#include "platform/connection.h"
#include "platform/regional_datetime.h"
#include "platform/variant.h"

#include <QString>
#include <QVariantList>
#include <memory>

namespace tallyfold {

// The variables shared by the window and every operation. The entry layer owns
// one set for the library's lifetime (never reset while it stays loaded) and
// hands it to the window; the command owns its own.
struct Mdl_GatherData {
    QString Pub_UserName;
    QString Pub_Caption;
    std::shared_ptr<Connection> Pub_Conn;
    QString Pub_DateQuote;
    // The current terminal: the column values as they came (text or number).
    Variant Pub_MachAddr;
    Variant Pub_ComX;
    QString Pub_MachVer;
};

// What ShowA does before the window: takes the database tool's connection,
// recognises its date delimiter and keeps the operator's name and caption.
// Raises when there is no connection or a value cannot become text.
void enterOperator(Mdl_GatherData& module, const Variant& user, const Variant& caption);

// The date delimiter for a connection string: "#" for Access, "'" for SQL
// Server and this port's SQLite and PostgreSQL, else `previous` unchanged.
// The probes are matched lower-cased anywhere in the string, trailing semicolon included.
QString recognisedDateQuote(const QString& connectionString, const QString& previous);

// One CtrlLog row. Never raises: the operation goes on whatever happens; the
// reason the row was not written comes back (empty when it was), for the view.
// Its values are bound, never part of the statement's text.
QString WriteCtrlLog(const QString& user, const QDateTime& time, const QString& objectText, const QString& actionText,
                     const QString& resultText);
// The statement WriteCtrlLog runs: a '?' for each column (UserA, TimeA, ObjectA, ActionA, ResultA).
QString ctrlLogStatement();
// The values bound to it, in its order: the texts as given (a null one as ""), the time as
// regional text, which the database reads as it read the literal that once carried it.
QVariantList ctrlLogValues(const QString& user, const QDateTime& time, const QString& objectText,
                           const QString& actionText, const QString& resultText);

// The system the rights are named in, and the function whose right an operation with `suffix` needs.
inline const QString SystemName = QStringLiteral("考勤系统");
inline QString rightFunction(const Mdl_GatherData& module, const char* suffix) {
    return module.Pub_Caption + QString::fromUtf8(suffix);
}

// Copies a record file into the host's Database folder as
// prefix + yyyyMMdd + hhmmss + ".txt" (-2, -3, ... before ".txt" when another copy
// of the same second is there, never replacing it). True only when the copy is
// whole on the disk: written, flushed with its folder and read back (DurableFile).
// `copy`, when given, receives the copy's path ("" when none was made), `reason`
// why none was, with the system's words.
bool SaveGatherFile(const HostSettings& host, const QString& sourcePath, const QString& prefix, const Clock& clock,
                    QString* copy = nullptr, QString* reason = nullptr);
QString savedFileName(const QString& prefix, const QDateTime& moment);

}  // namespace tallyfold
