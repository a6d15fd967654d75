#include "command_line.h"

#include <locale.h>
#include <wchar.h>

#include <QCommandLineParser>

namespace tallyfold {

namespace {

QString s(const char* text) {
    return QString::fromUtf8(text);
}

OptionDef valueOption(const char* name, const char* valueName, const char* description) {
    return OptionDef{{s(name)}, s(valueName), s(description)};
}

OptionDef switchOption(const char* name, const char* description) {
    return OptionDef{{s(name)}, QString(), s(description)};
}

ExampleDef example(const char* command, const char* comment) {
    return ExampleDef{s(command), s(comment)};
}

const OptionDef UserOption = valueOption(
    "user", "U",
    "act for this operator: its rights are checked and its name is logged (default: the login name; another "
    "operator only for root and the members of the host folder's group)");
const OptionDef CaptionOption =
    valueOption("caption", "C", "the caption that names the rights C.测试, C.操作 and C.读取 (default: 消费管理)");
const OptionDef MachineOption =
    valueOption("machine", "ADDR", "the terminal with this address (default: the first listed)");
const OptionDef FailedOption =
    valueOption("failed", "show|discard",
                "the answer to the failed-lines question: show prints them (default), discard drops them");
const OptionDef TsvOption = switchOption(
    "tsv", "print tab-separated lines, the fields of --json in their order, instead of a table: for scripts");
const OptionDef HelpOption{{QStringLiteral("help"), QStringLiteral("h")}, QString(), QStringLiteral("show this help")};

const std::vector<OptionDef> Globals = {
#ifdef TALLYFOLD_DEFAULT_HOME
    valueOption("home", "DIR",
                "the host folder with Source/, Database/ and Config/ (default: $TALLYFOLD_HOME, "
                "else " TALLYFOLD_DEFAULT_HOME ")"),
#else
    valueOption("home", "DIR",
                "the host folder with Source/, Database/ and Config/ (default: $TALLYFOLD_HOME, else the folder "
                "above the program's)"),
#endif
#ifdef TALLYFOLD_CONNECTION_FILE
    valueOption(
        "db", "CONNECTION",
        "the connection string (default: $TALLYFOLD_CONNECTION, else the first line of " TALLYFOLD_CONNECTION_FILE
        ", else Config/Tallyfold.ini, else the embedded database Database/tallyfold.db)"),
#else
    valueOption("db", "CONNECTION",
                "the connection string (default: $TALLYFOLD_CONNECTION, else Config/Tallyfold.ini, else the "
                "embedded database Database/tallyfold.db)"),
#endif
    switchOption("json", "write JSON lines, one object per event"),
    switchOption("quiet", "print only the summary"),
    switchOption("verbose", "also print what the database, the device link and the operations say about a failure"),
};

const std::vector<CommandDef> Commands = {
    {s("show"),
     QString(),
     s("open the gathering window as a host would"),
     s("Opens the gathering window in a small host program (tallyfold-show), as a host does through KQ.ShowA, "
       "and waits until it is closed. It needs a display."),
     {UserOption, CaptionOption,
      valueOption("screenshot", "FILE", "save a picture of the window to FILE and close it")},
     0,
     0,
     {example("tallyfold show --user admin", "open the window for the operator admin"),
      example("xvfb-run -a tallyfold show --screenshot window.png",
              "save a picture of the window on a machine without a display")}},
    {s("init-db"),
     QString(),
     s("create the host tables"),
     s("Creates the host tables; running it again changes nothing. Creates the host folder when it does not exist, "
       "and says so."),
     {switchOption("demo",
                   "add two count-type terminals, one of another kind, the time parameters and the rights of the demo "
                   "operator admin"),
      valueOption("grant", "USER", "grant USER the three rights of the caption"), CaptionOption},
     0,
     0,
     {example("tallyfold init-db --demo --grant admin",
              "the host tables with the demo terminals, and the three rights for admin"),
      example("tallyfold --db 'Provider=PostgreSQL;Host=db;Database=tf;User ID=tf' init-db",
              "the host tables in a PostgreSQL database"),
      example("runuser -u tallyfold -- tallyfold init-db --grant tallyfold --caption 食堂",
              "grant the service the rights of the caption 食堂 too")}},
    {s("terminals"),
     s("[add|set|remove ADDR]"),
     s("list, add, change or remove the count-type terminals"),
     s("Without an action, lists the count-type terminals in list order, as a table, and marks the one a run uses "
       "by default (*; current with --tsv). "
       "add writes a count-type terminal into MachineInfo: its address (0 to 255, as the terminal is set) must be "
       "free among the terminals of every kind, and its port must open through Config/Ports.ini or the default "
       "/dev/ttyS<N-1>; a device server on a port no terminal uses yet that does not take a connection is named in "
       "a warning, and the terminal added all the same. set changes what it is given of a count-type terminal, remove "
       "deletes one. add, set and "
       "remove need the right C.操作 and are logged in CtrlLog."),
     {valueOption("port", "N", "the terminal's port number (MachineInfo.COMX); add needs it"),
      valueOption("desc", "D", "the kind, 计次 (default) or 记次 (MachineInfo.MachDesc)"),
      valueOption("team", "T", "the group the list shows (MachineInfo.Team)"),
      valueOption("version", "V", "the terminal's version text (MachineInfo.Ver)"), TsvOption, UserOption,
      CaptionOption},
     0,
     2,
     {example("tallyfold terminals", "address, port, version and team of each terminal"),
      example("tallyfold terminals add 7 --port 2 --team 一楼餐厅", "list terminal 7 on port 2"),
      example("tallyfold terminals set 7 --port 3", "it moved to port 3")}},
    {s("status"),
     QString(),
     s("show each terminal's last gather, last failure and last success"),
     s("Shows a table of each count-type terminal's last gather (time, outcome, rows), its last failure with the "
       "reason, since when it fails, and when it last succeeded and how long ago (in seconds with --tsv and "
       "--json). Gathers by the window and by the command both count."),
     {valueOption("max-age", "AGE",
                  "exit 1 and name the terminals without a successful gather within AGE (90s, 30m, 2h, 1d); one "
                  "never gathered counts as too old"),
      TsvOption},
     0,
     0,
     {example("tallyfold status", "each terminal's last gather, failure and success"),
      example("tallyfold --json status --max-age 2h",
              "for monitoring: exit 1 when a terminal has not gathered in two hours")}},
    {s("import"),
     s("FILE"),
     s("store the records of a record file, as \"读取\" does"),
     s("Stores the records of a record file, as \"读取\" does. Needs the right C.读取."),
     {UserOption, CaptionOption, FailedOption},
     1,
     1,
     {example("tallyfold import records.txt", "store a record file; records stored already count as duplicates"),
      example("tallyfold --quiet import --failed discard records.txt",
              "print only the summary; exit status 3 still tells that lines failed")}},
    {s("gather"),
     QString(),
     s("gather the records of a terminal, as \"采集\" does"),
     s("Gathers the records of a terminal over its serial port and stores them, as \"采集\" does. "
       "Needs the right C.操作."),
     {MachineOption,
      switchOption("all",
                   "gather every listed terminal: different ports at the same time, one port's terminals "
                   "in list order"),
      valueOption("jobs", "N", "with --all, gather at most N ports at the same time (default: all)"),
      switchOption("set-clock", "set the terminal's date and clock first"),
      switchOption("no-get", "do not gather the records"), switchOption("no-save", "keep no dated copy of the file"),
      switchOption("then-clear", "erase the terminal's records afterwards, once every record it gave is stored"),
      valueOption("metrics", "FILE",
                  "afterwards write every terminal's last success, rows stored and failed lines to FILE in "
                  "Prometheus' text format, replacing it whole (for node_exporter's textfile collector)"),
      FailedOption, UserOption, CaptionOption},
     0,
     0,
     {example("tallyfold gather --machine 10 --set-clock", "gather terminal 10, setting its clock first"),
      example("tallyfold gather --all --jobs 2 --then-clear",
              "gather every terminal, two ports at a time, and erase each once its records are stored"),
      example("tallyfold --json gather --all --metrics /var/lib/tallyfold/tallyfold.prom",
              "as the timer may run it, leaving metrics for Prometheus")}},
    {s("follow"),
     QString(),
     s("store every listed terminal's new records within seconds, until stopped"),
     s("Keeps every listed terminal's port open and asks each terminal for the records it took since the last "
       "round, every --interval seconds; stores them as gather does, so gathers and imports may run beside it. "
       "While the database cannot take them, the records read wait in the journal (Journal/ in the host "
       "folder, flushed to disk), which drains into the table in order once it can. Clears a terminal only "
       "below what is stored or journaled, once it holds --clear-at percent of its capacity. Tries failing "
       "ports and device servers again with growing pauses, the database every 2 seconds. Starts and reloads "
       "while the database is away, following the terminals listed last. SIGHUP reads the terminal list and "
       "Config/Ports.ini again; SIGTERM or SIGINT ends it with a summary. Needs the right C.操作."),
     {valueOption("interval", "SECONDS", "ask each terminal for new records this often (default 2)"),
      valueOption("clear-at", "PERCENT",
                  "clear a terminal below what is stored once it holds this share of its capacity (default 50)"),
      valueOption("jobs", "N", "share the ports out among N threads, each with one database connection (default 8)"),
      valueOption("clock-drift", "SECONDS",
                  "set a terminal's clock when its records are dated further than this from the PC's (default 60); "
                  "it is set once a day anyway"),
      valueOption("journal-limit", "MB",
                  "the journal holds at most this many megabytes of records waiting for the database (default 1024)"),
      valueOption("metrics", "FILE",
                  "every 10 seconds write each terminal's gathers, records held and the time from swipe to table "
                  "to FILE in Prometheus' text format"),
      UserOption, CaptionOption},
     0,
     0,
     {example("tallyfold follow", "store every swipe within seconds, as tallyfold-follow.service runs it"),
      example("tallyfold --json follow --interval 5 --metrics /var/lib/tallyfold/f.prom",
              "ask every 5 seconds, leaving metrics for Prometheus")}},
    {s("clear"),
     QString(),
     s("erase the records stored in a terminal, as \"清空\" does"),
     s("Erases the records stored in the terminal --machine names, as \"清空\" does. Needs the right C.操作 and "
       "--yes."),
     {valueOption("machine", "ADDR", "the terminal whose records are erased; clear needs it"),
      switchOption("yes", "confirm the erasure"), UserOption, CaptionOption},
     0,
     0,
     {example("tallyfold clear --machine 10 --yes", "erase the records stored in terminal 10"),
      example("tallyfold gather --machine 10 --then-clear",
              "safer: erase only once every record the terminal gave is stored")}},
    {s("test-link"),
     QString(),
     s("set a terminal's clock as a probe, as \"测试\" does"),
     s("Sets the terminal's clock as a probe and says whether it answered, as \"测试\" does. Needs the right C.测试."),
     {MachineOption, UserOption, CaptionOption},
     0,
     0,
     {example("tallyfold test-link --machine 10", "does terminal 10 answer?"),
      example("tallyfold --verbose test-link --machine 10", "and what the device link says when it does not")}},
    {s("help"),
     s("[COMMAND|output]"),
     s("show the help of a command, or of the output"),
     QString(),
     {},
     0,
     1,
     {example("tallyfold help gather", "the options of gather"),
      example("tallyfold help output", "the output's lines, their fields and the exit status")}},
};

QString exampleLines(const std::vector<ExampleDef>& examples) {
    QString text;
    for (const ExampleDef& e : examples)
        text +=
            QStringLiteral("  ") + e.command + QStringLiteral("\n      ") + wrapped(e.comment, 6) + QLatin1Char('\n');
    return text;
}

QString optionLines(const std::vector<OptionDef>& options) {
    constexpr int Column = 26;
    QString text;
    for (const OptionDef& o : options) {
        QString head = QStringLiteral("  ");
        for (const QString& name : o.names) {
            if (head.size() > 2)
                head += QStringLiteral(", ");
            head += (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        }
        if (!o.valueName.isEmpty())
            head += QLatin1Char(' ') + o.valueName;
        head += head.size() < Column ? QString(Column - head.size(), QLatin1Char(' '))
                                     : QLatin1Char('\n') + QString(Column, QLatin1Char(' '));
        text += head + wrapped(o.description, Column) + QLatin1Char('\n');
    }
    return text;
}

const OptionDef* findOption(const std::vector<OptionDef>& options, const QString& name) {
    for (const OptionDef& o : options)
        if (o.names.contains(name))
            return &o;
    return nullptr;
}

QString dashed(const QString& name) {
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// QCommandLineParser would take "--machine --all" as the address "--all".
void checkValuesPresent(const QStringList& args, const std::vector<OptionDef>& options, bool stopAtPositional,
                        const QString& command) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--"))
            return;
        if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            if (stopAtPositional)
                return;
            continue;
        }
        if (a.contains(QLatin1Char('=')))
            continue;
        const QString name = a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1);
        const OptionDef* address = findOption(options, name);
        if (!address || address->valueName.isEmpty())
            continue;
        if (i + 1 >= args.size() || (args[i + 1].startsWith(QLatin1Char('-')) && args[i + 1] != QLatin1String("-")))
            throw UsageError{dashed(name) + QStringLiteral(" needs a value"), command};
        ++i;
    }
}

void addOptions(QCommandLineParser& parser, const std::vector<OptionDef>& options) {
    for (const OptionDef& o : options) {
        if (o.valueName.isEmpty())
            parser.addOption(QCommandLineOption(o.names, o.description));
        else
            parser.addOption(QCommandLineOption(o.names, o.description, o.valueName));
    }
}

void parseOrThrow(QCommandLineParser& parser, const QStringList& args, const QString& command) {
    if (parser.parse(QStringList{QStringLiteral("tallyfold")} + args))
        return;
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        throw UsageError{QStringLiteral("unknown option ") + dashed(unknown.first()), command};
    QString text = parser.errorText();
    if (text.startsWith(QLatin1String("Unexpected value after '")))
        text =
            text.section(QLatin1Char('\''), 1, 1).section(QLatin1Char('='), 0, 0) + QStringLiteral(" takes no value");
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    throw UsageError{text, command};
}

// Copies what the parser found; a value option given an empty value is a usage error.
void collect(const QCommandLineParser& parser, const std::vector<OptionDef>& options, Invocation& into,
             const QString& command) {
    for (const OptionDef& o : options) {
        const QString& name = o.names.first();
        if (!parser.isSet(name))
            continue;
        if (o.valueName.isEmpty()) {
            into.switches.insert(name);
            continue;
        }
        const QString value = parser.value(name);
        if (value.isEmpty())
            throw UsageError{dashed(name) + QStringLiteral(" needs a value"), command};
        into.values.insert(name, value);
    }
}

const std::vector<ExampleDef> OverviewExamples = {
    example("tallyfold init-db --demo --grant admin", "a host folder with two demo terminals, for the operator admin"),
    example("tallyfold gather --all", "gather every terminal as the account running the command"),
    example("tallyfold help gather", "the options of gather, and its examples"),
};

// The C library's widths, in its UTF-8 locale whatever the process's locale is: a service
// often runs in the C locale, where every character beyond ASCII has no width.
int cellsOf(char32_t c) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (!utf8)
        return c < 0x80 ? 1 : 2;
    const locale_t was = uselocale(utf8);
    const int cells = ::wcwidth(wchar_t(c));
    uselocale(was);
    return std::max(cells, 0);
}

}  // namespace

int displayWidth(QStringView text) {
    int width = 0;
    for (const char32_t c : text.toUcs4())
        width += cellsOf(c);
    return width;
}

QString wrapped(const QString& text, int indent, int width) {
    QString result;
    int column = indent;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < words.size(); ++i) {
        const int wordWidth = displayWidth(words[i]);
        if (i > 0 && column + 1 + wordWidth > width) {
            result += QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            column = indent;
        } else if (i > 0) {
            result += QLatin1Char(' ');
            ++column;
        }
        result += words[i];
        column += wordWidth;
    }
    return result;
}

const std::vector<OptionDef>& globalOptions() {
    return Globals;
}

const std::vector<CommandDef>& commandDefs() {
    return Commands;
}

const std::vector<ExampleDef>& overviewExamples() {
    return OverviewExamples;
}

const CommandDef* findCommand(const QString& name) {
    for (const CommandDef& c : Commands)
        if (c.name == name)
            return &c;
    return nullptr;
}

QString overviewHelp() {
    QString text = QStringLiteral(
        "usage: tallyfold [GLOBAL OPTIONS] COMMAND [OPTIONS]\n"
        "       tallyfold help COMMAND | tallyfold --version\n"
        "\n"
        "Gathers the card-swipe records of count-type terminals into the host database,\n"
        "running the operations of the gathering window without it.\n"
        "\n"
        "commands:\n");
    for (const CommandDef& c : Commands)
        text += QStringLiteral("  ") + c.name.leftJustified(12) + wrapped(c.summary, 14) + QLatin1Char('\n');
    text += QStringLiteral("\nglobal options, before or after the command:\n") + optionLines(Globals) +
            optionLines({HelpOption}) + optionLines({switchOption("version", "print the version")}) +
            QLatin1Char('\n') +
            wrapped(QStringLiteral("exit status: 0 done and no line failed; 3 done, but some lines failed; 1 refused, "
                                   "failed or ended through its error trap; 2 a usage error; 128 + N stopped by "
                                   "signal N (130 Ctrl-C, 143 SIGTERM). It follows the last summary's outcome. See "
                                   "tallyfold help output."),
                    0) +
            QLatin1Char('\n');
    return text + QStringLiteral("\nexamples:\n") + exampleLines(OverviewExamples);
}

QString commandHelp(const CommandDef& command) {
    QString text = QStringLiteral("usage: tallyfold ") + command.name;
    if (!command.arguments.isEmpty())
        text += QLatin1Char(' ') + command.arguments;
    if (!command.options.empty())
        text += QStringLiteral(" [OPTIONS]");
    text += QStringLiteral("\n\n") + wrapped(command.description.isEmpty() ? command.summary : command.description, 0) +
            QLatin1Char('\n');
    if (!command.options.empty())
        text += QStringLiteral("\noptions:\n") + optionLines(command.options);
    text += QStringLiteral("\nglobal options (see tallyfold --help): --home, --db, --json, --quiet, --verbose\n");
    if (!command.examples.empty())
        text += QStringLiteral("\nexamples:\n") + exampleLines(command.examples);
    return text;
}

QString outputHelp() {
    // Prose is wrapped to the width; the formats keep their own line breaks.
    auto paragraph = [](const char* text) -> QString {
        return wrapped(QString::fromUtf8(text), 0) + QLatin1Char('\n');
    };
    return paragraph("output: one event a line on standard output, as the window would show it.") + QLatin1Char('\n') +
           paragraph(
               "Text (default): fields separated by a tab; in a text a backslash is written \\\\, a tab \\t, "
               "a carriage return \\r, a line feed \\n and a NUL \\0. terminals (its list) and status print a "
               "table instead, a header row and columns aligned for a person; their --tsv prints these lines, "
               "stable for scripts.") +
           QStringLiteral(
               "  status TEXT | caption TEXT | message TEXT | detail TEXT\n"
               "  question TEXT ANSWER\n"
               "  record ADDRESS CARD DATE TIME\n"
               "  failed KEY LINE TEXT REASON\n"
               "  summary OPERATION TERMINAL READ STORED DUPLICATES ERRORS SECONDS OUTCOME\n"
               "          REASON UNSTORED\n"
               "\n"
               "--json: one JSON object a line, its kind in \"event\":\n"
               "  {\"event\":\"status\"|\"caption\"|\"message\"|\"detail\",\"text\":...}\n"
               "  {\"event\":\"question\",\"text\":...,\"answer\":\"Yes\"|\"No\"|\"OK\"|\"Cancel\"}\n"
               "  {\"event\":\"record\",\"address\":\"10\",\"card\":\"123456\",\"date\":\"2024-05-13\",\n"
               "   \"time\":\"07:30:00\"}\n"
               "  {\"event\":\"failed\",\"key\":\"R1\",\"line\":2,\"text\":...,\"reason\":... or null}\n"
               "  {\"event\":\"summary\",\"operation\":\"gather\",\"terminal\":\"1\" or null,\"read\":2,\n"
               "   \"stored\":2,\"duplicates\":0,\"errors\":0,\"seconds\":0.42,\"outcome\":...,\n"
               "   \"reason\":... or null,\"unstored\":0}\n") +
           paragraph(
               "A detail of --verbose also carries \"category\" and \"level\". init-db and terminals write "
               "\"created\", \"granted\", \"database\", \"terminal\" and \"removed\" events; status a "
               "\"state\" a terminal: address, port, last, outcome, read, stored, duplicates, errors, "
               "success, age (seconds since success), failure, reason, failing_since and, with --max-age, the "
               "mark stale. Times are ISO 8601 with the offset; null when never.") +
           QLatin1Char('\n') +
           paragraph(
               "Every import, gather, clear and test-link ends with a summary; gather --all writes one for "
               "each terminal and a last one with the totals (terminal empty, or null). READ counts the "
               "lines read, STORED the rows added to Tcon_ConsumeDtl, DUPLICATES the records found in the "
               "table already, ERRORS the lines that failed, UNSTORED the lines read and neither stored nor "
               "found (a run cut short): READ = STORED + DUPLICATES + ERRORS + UNSTORED. Whenever OUTCOME is "
               "not completed, REASON holds the database's or the device link's words. OUTCOME is "
               "completed, device-failed (the terminal did not do what was asked), refused, cancelled, "
               "trapped (ended through the error trap) or failed (the command could not run it; reason says "
               "why). --quiet prints only the summaries.") +
           QLatin1Char('\n') +
           paragraph(
               "exit status: 0 done and no line failed; 3 done, but some lines failed (see the failed "
               "events, or the question with --failed discard); 1 refused, failed or trapped; 2 a usage "
               "error; 128 + N stopped by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP): the run stopped "
               "at the next line or frame, its summary says cancelled and, as its reason, the signal and "
               "where it stopped. The status follows the last summary's outcome: a signal once the outcome "
               "is settled changes nothing. With --all the total decides: completed when every terminal "
               "completed, else the first terminal's outcome that is neither completed nor cancelled, else "
               "cancelled.") +
           QLatin1Char('\n') + paragraph("Progress goes to standard error, and only when it is a terminal.");
}

QString usageErrorLine(const UsageError& error) {
    const QString where = error.command.isEmpty() ? QString() : error.command + QStringLiteral(": ");
    const QString see = error.command.isEmpty() || error.command == QLatin1String("help")
                            ? QStringLiteral("tallyfold --help")
                            : QStringLiteral("tallyfold help ") + error.command;
    return QStringLiteral("tallyfold: ") + where + error.text + QStringLiteral(" (see ") + see + QStringLiteral(")");
}

// A command's own options may come before it too ("tallyfold --user X test-link"): then the
// command word goes first, so that its parser takes every option. Which words are values
// is known from the options of all commands, which agree on whether a name takes one.
static QStringList commandFirst(const QStringList& args, const std::vector<OptionDef>& first) {
    auto find = [](const std::vector<OptionDef>& options, const QString& name) -> const OptionDef* {
        for (const OptionDef& o : options)
            if (o.names.contains(name))
                return &o;
        return nullptr;
    };
    bool commandOption = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--"))
            return args;
        if (!arg.startsWith(QLatin1Char('-')) || arg.size() < 2) {
            if (!commandOption || !findCommand(arg))
                return args;
            QStringList reordered{arg};
            reordered << args.mid(0, i) << args.mid(i + 1);
            return reordered;
        }
        const QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1).section(QLatin1Char('='), 0, 0);
        const OptionDef* option = find(first, name);
        for (auto c = Commands.begin(); !option && c != Commands.end(); ++c)
            if ((option = find(c->options, name)))
                commandOption = true;
        if (!option)
            return args;  // unknown: the usual parse says so
        if (!option->valueName.isEmpty() && !arg.contains(QLatin1Char('=')))
            ++i;
    }
    return args;
}

Invocation parseCommandLine(const QStringList& given) {
    const OptionDef version = switchOption("version", "print the version");
    std::vector<OptionDef> first = Globals;
    first.push_back(HelpOption);
    first.push_back(version);
    const QStringList args = commandFirst(given, first);

    QCommandLineParser global;
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    addOptions(global, first);
    checkValuesPresent(args, first, true, QString());
    parseOrThrow(global, args, QString());

    Invocation invocation;
    collect(global, first, invocation, QString());
    const QStringList positional = global.positionalArguments();
    if (invocation.switches.contains(QStringLiteral("version"))) {
        invocation.command.clear();
        return invocation;
    }
    if (positional.isEmpty()) {
        if (invocation.switches.contains(QStringLiteral("help"))) {
            invocation.command = QStringLiteral("help");
            return invocation;
        }
        // "tallyfold --home terminals": say which option took the command as its value.
        for (auto it = invocation.values.cbegin(); it != invocation.values.cend(); ++it)
            if (findCommand(it.value()))
                throw UsageError{QStringLiteral("no command given (--%1 took \"%2\" as its value)").arg(it.key(), *it),
                                 QString()};
        throw UsageError{QStringLiteral("no command given"), QString()};
    }
    const CommandDef* command = findCommand(positional.first());
    if (!command)
        throw UsageError{QStringLiteral("unknown command \"") + positional.first() + QLatin1Char('"'), QString()};
    invocation.command = command->name;
    if (invocation.switches.contains(QStringLiteral("help"))) {
        invocation.command = QStringLiteral("help");
        invocation.arguments = QStringList{command->name};
        return invocation;
    }

    std::vector<OptionDef> second = Globals;
    second.insert(second.end(), command->options.begin(), command->options.end());
    second.push_back(HelpOption);
    const QStringList rest = positional.mid(1);
    QCommandLineParser own;
    addOptions(own, second);
    checkValuesPresent(rest, second, false, command->name);
    parseOrThrow(own, rest, command->name);
    collect(own, second, invocation, command->name);
    if (own.isSet(QStringLiteral("help"))) {
        invocation.arguments = QStringList{command->name};
        invocation.command = QStringLiteral("help");
        return invocation;
    }
    invocation.arguments = own.positionalArguments();
    if (invocation.arguments.size() < command->minArguments)
        throw UsageError{QStringLiteral("missing ") + command->arguments, command->name};
    if (invocation.arguments.size() > command->maxArguments)
        throw UsageError{QStringLiteral("unexpected argument \"") + invocation.arguments.at(command->maxArguments) +
                             QLatin1Char('"'),
                         command->name};
    for (const QString& a : invocation.arguments)
        if (a.isEmpty())
            throw UsageError{command->arguments + QStringLiteral(" is empty"), command->name};
    return invocation;
}

}  // namespace tallyfold
