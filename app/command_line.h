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

struct CommandDef {
    QString name;
    QString arguments;    // the positional arguments as the usage line shows them
    QString summary;      // one line for the list of commands
    QString description;  // a paragraph for its own help
    std::vector<OptionDef> options;
    int minArguments = 0;
    int maxArguments = 0;
};

// Accepted before and after the command.
const std::vector<OptionDef>& globalOptions();
const std::vector<CommandDef>& commandDefs();
const CommandDef* findCommand(const QString& name);

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
