#pragma once

// What every command of the command line works with: the run, its summary,
// the session it loads and the checks an operation makes before it starts.

#include "command_line.h"
#include "console_view.h"
#include "host_lock.h"
#include "outside/host_folder.h"
#include "platform/error.h"
#include "records/gather_session.h"
#include "records/operations.h"
#include "records/terminal_list.h"

#include <functional>
#include <optional>

namespace tallyfold {

// The command refused or could not run what was asked; the text says why (exit status 1).
struct CommandFailure {
    QString text;
    // "refused" when the command declined (no right, no such terminal, the folder busy), "failed" when it could not.
    QString outcome = QStringLiteral("failed");
};

QString systemError(int error);
// What the operator's name defaults to: the account the command runs as, as the log should show it.
QString loginName();
// Why a path cannot be read and written, in the system's words; empty when it can.
QString accessProblem(const QString& path, int mode);
QString cannotOpenDatabase(const HostSettings& settings, const Error& e);
// A host folder shared by a group (set-group-ID, as the package makes it).
bool sharedFolder(const QString& folder);
// Whether the account running the command may act for another operator in `folder`:
// root, and the members of the folder's group (the service's group, for the package).
bool mayActForOthers(const QString& folder);

struct Summary {
    QString operation;
    FieldValue terminal = nullptr;
    qint64 read = 0;
    qint64 stored = 0;
    qint64 duplicates = 0;
    qint64 errors = 0;
    double seconds = 0;
    QString outcome = QStringLiteral("completed");
    QString reason;

    // Lines read that are neither stored, nor found in the table, nor failed: a run cut short left them.
    qint64 unstored() const { return std::max<qint64>(0, read - stored - duplicates - errors); }

    // The one rule for the exit status: completed 0 (3 when lines failed), cancelled 128 + the signal that
    // cancelled it, anything else 1. A signal that came once the outcome was settled changes nothing.
    int exitStatus() const;
};

void writeSummary(Console& console, const Summary& s);

// One command line: its options, the host folder and database it names, the
// operator it acts for and the shared variables of its one session.
struct Run {
    Console& console;
    const Invocation& invocation;
    HostSettings settings;
    Mdl_GatherData module;
    QString user;
    QString caption;

    bool has(const char* name) const { return invocation.isSet(QString::fromLatin1(name)); }
    QString value(const char* name) const { return invocation.value(QString::fromLatin1(name)); }
};

// Option errors are usage errors, found before the host folder or the database is opened.
void checkOptions(const Run& run);
// The --jobs of gather --all; 0 when not given.
int jobsOption(const Run& run);

// What ShowA and the window's load do, without widgets: the shared variables, the
// components, the first listed terminal made current, the time parameters.
std::vector<TerminalRow> loadSession(Run& run, GatherSession& session, ConsoleView& view, const char* rightSuffix,
                                     bool withTimes = true);
// The rights the window checks when it loads; the command checks the one its operation needs.
void requireRight(GatherSession& session, const char* suffix, const QString& operation);
// --machine: the terminal the window's list would show, by its address.
void chooseMachine(GatherSession& session, ConsoleView& view, const std::vector<TerminalRow>& rows,
                   const QString& machine);
// What a run at one terminal, or an import, handed its view, summed up.
Summary summaryOf(const QString& operation, const FieldValue& terminal, Outcome outcome, double seconds,
                  const ConsoleView& view);
// The last summary of gather --all from its terminals' summaries, in list order: the counts added up;
// completed when all completed, else the first terminal's outcome that is neither completed nor cancelled,
// else cancelled; the reason names every terminal that did not complete.
Summary totalOf(const std::vector<Summary>& terminals);
// Runs one operation and sums it up.
Summary measured(Run& run, GatherSession& session, ConsoleView& view, const QString& operation,
                 const std::function<Outcome()>& body);
bool failedShown(const Run& run);

int commandShow(Run& run);
int commandInitDb(Run& run);
int commandTerminals(Run& run);
int commandStatus(Run& run);
// Usage errors of terminals add, set and remove.
void checkTerminalsArguments(const Run& run);
// The --max-age of status in seconds.
qint64 maxAgeSeconds(const Run& run);
// Every listed terminal's gathers as Prometheus' text format, into `path` whole or not at all.
// `extra` is appended as it is (the follower's own metrics).
void writeMetrics(const QString& path, const std::vector<TerminalRow>& rows,
                  const std::shared_ptr<Connection>& connection, const QString& extra = {});
int commandHelp(Run& run);
int commandImport(Run& run);
int commandGather(Run& run);
int commandFollow(Run& run);
void checkFollowOptions(const Run& run);
int commandClear(Run& run);
int commandTestLink(Run& run);

}  // namespace tallyfold
