#include "machine_info.h"
#include "run.h"

#include "outside/serial/port_map.h"
#include "records/gather_history.h"

#include <sys/stat.h>
#include <QRegularExpression>
#include <QSaveFile>

namespace tallyfold {

namespace {

FieldValue momentText(const std::optional<QDateTime>& at) {
    if (!at)
        return nullptr;
    return at->toOffsetFromUtc(at->offsetFromUtc()).toString(Qt::ISODate);
}

TerminalFields fieldsOf(const Run& run) {
    TerminalFields fields;
    if (run.has("port"))
        fields.port = portNumber(run.value("port"));
    if (run.has("desc"))
        fields.kind = run.value("desc");
    if (run.has("team"))
        fields.team = run.value("team");
    if (run.has("version"))
        fields.version = run.value("version");
    return fields;
}

// terminals add, set and remove: the right C.操作, the row, a CtrlLog row as the operations write theirs.
int editTerminal(Run& run, const QString& action, const QString& address) {
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    loadSession(run, session, view, ".操作", false);
    requireRight(session, ".操作", QStringLiteral("terminals ") + action);
    QString object, result, warning;
    try {
        if (action == QLatin1String("add")) {
            warning = addTerminal(session.Conn, run.settings, address, fieldsOf(run));
            object = QStringLiteral("添加机器");
            result = QStringLiteral("添加成功！");
        } else if (action == QLatin1String("set")) {
            warning = changeTerminal(session.Conn, run.settings, address, fieldsOf(run));
            object = QStringLiteral("修改机器");
            result = QStringLiteral("修改成功！");
        } else {
            removeTerminal(session.Conn, address);
            object = QStringLiteral("删除机器");
            result = QStringLiteral("删除成功！");
        }
    } catch (const TerminalRefused& e) {
        throw CommandFailure{e.text, QStringLiteral("refused")};
    }
    if (!warning.isEmpty())
        run.console.error(QStringLiteral("warning: ") + warning);
    const QString reason = WriteCtrlLog(run.user, session.clock(), object, QStringLiteral("机器:") + address, result);
    if (!reason.isEmpty())
        run.console.error(QStringLiteral("the operation log row could not be written: ") + reason);
    const std::vector<TerminalRow> rows = readTerminalRows(*session.DbTool);
    for (const TerminalRow& row : rows)
        if (row.machAddr.toText() == address)
            run.console.event(
                QStringLiteral("terminal"),
                {{"address", address}, {"port", row.comText}, {"version", row.verText}, {"team", row.teamText}});
    if (action == QLatin1String("remove"))
        run.console.event(QStringLiteral("removed"), {{"address", address}});
    return 0;
}

// A list for a person, unless --json or --tsv asked for the events a script reads.
bool asTable(const Run& run) {
    return run.console.format == OutputFormat::Text && !run.has("tsv");
}

// Local time to the second: the table is read by the site's people; --json keeps the offset.
QString tableMoment(const std::optional<QDateTime>& at, const QString& none = QStringLiteral("-")) {
    return at ? at->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : none;
}

// "45s", "10min", "3h 5min", "2d 4h": the two largest units, as a glance needs them.
QString tableAge(qint64 seconds) {
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1min").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1h %2min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1d %2h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

// Prometheus' text format: a label value escapes backslash, double quote and line feed.
QString labelValue(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return escaped;
}

}  // namespace

qint64 maxAgeSeconds(const Run& run) {
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,9})([smhd])$"));
    const QRegularExpressionMatch m = pattern.match(run.value("max-age"));
    const qint64 n = m.hasMatch() ? m.captured(1).toLongLong() : 0;
    if (n <= 0)
        throw UsageError{QStringLiteral("--max-age takes a time such as 90s, 30m, 2h or 1d"), run.invocation.command};
    const QChar unit = m.captured(2).at(0);
    return n * (unit == QLatin1Char('s') ? 1 : unit == QLatin1Char('m') ? 60 : unit == QLatin1Char('h') ? 3600 : 86400);
}

void checkTerminalsArguments(const Run& run) {
    const QStringList& args = run.invocation.arguments;
    const QString action = args.value(0);
    const bool fields = run.has("port") || run.has("desc") || run.has("team") || run.has("version");
    const QString command = run.invocation.command;
    if (args.isEmpty()) {
        if (fields)
            throw UsageError{QStringLiteral("--port, --desc, --team and --version go with add or set"), command};
        return;
    }
    if (action != QLatin1String("add") && action != QLatin1String("set") && action != QLatin1String("remove"))
        throw UsageError{QStringLiteral("unknown action \"%1\": add, set or remove").arg(action), command};
    if (args.size() < 2)
        throw UsageError{QStringLiteral("%1 needs the terminal's address").arg(action), command};
    if (action == QLatin1String("add") && !run.has("port"))
        throw UsageError{QStringLiteral("add needs --port"), command};
    if (action == QLatin1String("set") && !fields)
        throw UsageError{QStringLiteral("set needs --port, --desc, --team or --version"), command};
    if (action == QLatin1String("remove") && fields)
        throw UsageError{QStringLiteral("remove takes no --port, --desc, --team or --version"), command};
}

int commandTerminals(Run& run) {
    const QStringList& args = run.invocation.arguments;
    if (!args.isEmpty())
        return editTerminal(run, args.at(0), args.at(1));
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view, nullptr, false);
    const Variant current = session.module.Pub_MachAddr;
    if (asTable(run)) {
        std::vector<QStringList> cells;
        for (const TerminalRow& row : rows)
            cells.push_back({row.machAddr == current ? QStringLiteral("*") : QString(), row.machAddr.toText(),
                             row.comText, row.verText, row.teamText});
        if (!rows.empty())
            run.console.table({{""}, {"ADDRESS"}, {"PORT", true}, {"VERSION"}, {"TEAM"}}, cells);
        return 0;
    }
    for (const TerminalRow& row : rows)
        run.console.event(QStringLiteral("terminal"), {{"address", row.machAddr.toText()},
                                                       {"port", row.comText},
                                                       {"version", row.verText},
                                                       {"team", row.teamText},
                                                       {"current", row.machAddr == current}});
    return 0;
}

int commandStatus(Run& run) {
    const qint64 maxAge = run.has("max-age") ? maxAgeSeconds(run) : -1;  // -1: not asked
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view, nullptr, false);
    QHash<QString, GatherState> states;
    try {
        states = readGatherStates(session.Conn);
    } catch (const Error& e) {
        throw CommandFailure{QStringLiteral("cannot read the gathers' history: ") + e.description()};
    }
    const QDateTime now = session.clock();
    const bool table = asTable(run);
    std::vector<QStringList> cells;
    QStringList stale;
    for (const TerminalRow& row : rows) {
        const QString address = row.machAddr.toText();
        const GatherState s = states.value(address);
        // -1: never succeeded
        const qint64 age = s.successAt ? std::max<qint64>(0, s.successAt->secsTo(now)) : -1;
        std::vector<Field> fields{{"address", address},
                                  {"port", row.comText},
                                  {"last", momentText(s.lastAt)},
                                  {"outcome", s.lastAt ? FieldValue(s.lastOutcome) : FieldValue(nullptr)},
                                  {"read", s.last.read},
                                  {"stored", s.last.stored},
                                  {"duplicates", s.last.duplicates},
                                  {"errors", s.last.errors},
                                  {"success", momentText(s.successAt)},
                                  {"age", age >= 0 ? FieldValue(age) : FieldValue(nullptr)},
                                  {"failure", momentText(s.failureAt)},
                                  {"reason", s.failureAt ? FieldValue(s.failureReason) : FieldValue(nullptr)},
                                  {"failing_since", momentText(s.failingSince)}};
        const bool tooOld = maxAge >= 0 && (age < 0 || age > maxAge);
        if (maxAge >= 0) {
            fields.push_back({"stale", tooOld});
            if (tooOld)
                stale << (age >= 0 ? QStringLiteral("%1 (last success %2)")
                                         .arg(address, std::get<QString>(momentText(s.successAt)))
                                   : QStringLiteral("%1 (never)").arg(address));
        }
        if (!table) {
            run.console.event(QStringLiteral("state"), fields);
            continue;
        }
        const auto count = [&](qint64 n) { return s.lastAt ? QString::number(n) : QStringLiteral("-"); };
        QStringList line{address,
                         row.comText,
                         tableMoment(s.lastAt, QStringLiteral("never")),
                         s.lastAt ? s.lastOutcome : QStringLiteral("-"),
                         count(s.last.read),
                         count(s.last.stored),
                         count(s.last.duplicates),
                         count(s.last.errors),
                         tableMoment(s.successAt, QStringLiteral("never")),
                         age >= 0 ? tableAge(age) : QStringLiteral("-"),
                         tableMoment(s.failingSince),
                         tableMoment(s.failureAt),
                         s.failureAt ? s.failureReason : QStringLiteral("-")};
        if (maxAge >= 0)
            line.insert(10, tooOld ? QStringLiteral("yes") : QStringLiteral("no"));
        cells.push_back(line);
    }
    if (table && !rows.empty()) {
        std::vector<Console::Column> columns{{"ADDRESS"},      {"PORT", true},   {"LAST GATHER"},      {"OUTCOME"},
                                             {"READ", true},   {"STORED", true}, {"DUPLICATES", true}, {"FAILED", true},
                                             {"LAST SUCCESS"}, {"AGO", true},    {"FAILING SINCE"},    {"LAST FAILURE"},
                                             {"REASON"}};
        if (maxAge >= 0)
            columns.insert(columns.begin() + 10, {"STALE"});
        run.console.table(columns, cells);
    }
    if (rows.empty()) {
        run.console.error(
            QStringLiteral("no count-type terminal is listed (tallyfold terminals add ADDR --port N adds "
                           "one): nothing is gathered"));
        return maxAge >= 0 ? 1 : 0;
    }
    if (stale.isEmpty())
        return 0;
    run.console.error(QStringLiteral("no successful gather within %1 of terminal %2")
                          .arg(run.value("max-age"), stale.join(QStringLiteral(", "))));
    return 1;
}

void writeMetrics(const QString& path, const std::vector<TerminalRow>& rows,
                  const std::shared_ptr<Connection>& connection, const QString& extra) {
    QHash<QString, GatherState> states;
    try {
        states = readGatherStates(connection);
    } catch (const Error& e) {
        throw CommandFailure{QStringLiteral("the metrics were not written: cannot read the gathers' history: ") +
                             e.description()};
    }
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
        std::function<qint64(const GatherState&)> value;
    };
    const std::vector<Metric> metrics = {
        {"tallyfold_last_success_timestamp_seconds", "gauge",
         "When the terminal's records were last gathered completely, in seconds since 1970 (0: never).",
         [](const GatherState& s) { return s.successAt ? s.successAt->toSecsSinceEpoch() : 0; }},
        {"tallyfold_last_gather_timestamp_seconds", "gauge",
         "When the terminal was last gathered, whatever the outcome (0: never).",
         [](const GatherState& s) { return s.lastAt ? s.lastAt->toSecsSinceEpoch() : 0; }},
        {"tallyfold_last_gather_success", "gauge", "1 when the terminal's last gather completed, else 0.",
         [](const GatherState& s) { return s.lastOutcome == QLatin1String("completed") ? 1 : 0; }},
        {"tallyfold_rows_stored_total", "counter", "Rows the terminal's gathers added to Tcon_ConsumeDtl.",
         [](const GatherState& s) { return s.totalStored; }},
        {"tallyfold_failed_lines_total", "counter", "Lines of the terminal's gathers that could not be stored.",
         [](const GatherState& s) { return s.totalErrors; }},
    };
    QString text = QStringLiteral(
                       "# HELP tallyfold_terminals Count-type terminals listed in MachineInfo.\n"
                       "# TYPE tallyfold_terminals gauge\ntallyfold_terminals %1\n")
                       .arg(rows.size());
    for (const Metric& m : metrics) {
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                    .arg(QLatin1String(m.name), QLatin1String(m.help), QLatin1String(m.type));
        for (const TerminalRow& row : rows) {
            const QString address = row.machAddr.toText();
            text += QStringLiteral("%1{address=\"%2\",port=\"%3\"} %4\n")
                        .arg(QLatin1String(m.name), labelValue(address), labelValue(row.comText))
                        .arg(m.value(states.value(address)));
        }
    }
    text += extra;
    // Written beside the file and renamed over it: the collector never reads half a file.
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
                         ::fchmod(file.handle(), 0644) == 0 && file.commit();
    if (!written)
        throw CommandFailure{QStringLiteral("the metrics were not written to %1: %2").arg(path, file.errorString())};
}

}  // namespace tallyfold
