#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

namespace tallyfold {

struct OptionDef {
    QStringList names;  // the long name first; a one-letter name is a short option
    QString valueName;  // empty: a switch
    QString description;
};

// A command line to copy, and what it does.
struct ExampleDef {
    QString command;
    QString comment;
};

struct CommandDef {
    QString name;
    QString arguments;    // the positional arguments as the usage line shows them
    QString summary;      // one line for the list of commands
    QString description;  // a paragraph for its own help
    std::vector<OptionDef> options;
    int minArguments = 0;
    int maxArguments = 0;
    std::vector<ExampleDef> examples = {};  // the last lines of its help and of the man page
};

// Accepted before and after the command.
const std::vector<OptionDef>& globalOptions();
const std::vector<CommandDef>& commandDefs();
const CommandDef* findCommand(const QString& name);
const std::vector<ExampleDef>& overviewExamples();

// Columns a terminal gives the text: an East Asian wide or fullwidth character takes two.
int displayWidth(QStringView text);
// Wraps a text at spaces into lines of at most `width` columns, the ones after the first indented by `indent`.
QString wrapped(const QString& text, int indent, int width = 79);

// tallyfold --help, tallyfold help COMMAND, tallyfold help output.
QString overviewHelp();
QString commandHelp(const CommandDef& command);
QString outputHelp();

// A command line that cannot run, said in one line.
struct UsageError {
    QString text;
    QString command;  // the command it concerns, if any
};
QString usageErrorLine(const UsageError& error);

struct Invocation {
    QString command;  // "help" also for --help; empty with --version
    QStringList arguments;
    QHash<QString, QString> values;  // by long name
    QSet<QString> switches;

    bool isSet(const QString& name) const { return switches.contains(name) || values.contains(name); }
    QString value(const QString& name) const { return values.value(name); }
};

// Parses with one parser for the global options and one for the command's; raises UsageError.
// An option that needs a value never takes the next option as its value, and no value may be empty.
Invocation parseCommandLine(const QStringList& args);

}  // namespace tallyfold
