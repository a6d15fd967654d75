#include "man_source.h"

#include "command_line.h"

#include <algorithm>

namespace tallyfold {

namespace {

// scdoc reads * and _ as emphasis and \ as an escape.
QString escaped(QString text) {
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('*'), QStringLiteral("\\*"));
    text.replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return text;
}

QString optionEntries(const std::vector<OptionDef>& options) {
    QString text;
    for (const OptionDef& o : options) {
        QStringList names;
        for (const QString& name : o.names)
            names << QStringLiteral("*") + (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
                         escaped(name) + QLatin1Char('*');
        std::reverse(names.begin(), names.end());  // the short name first, as man pages list them
        text += names.join(QStringLiteral(", "));
        if (!o.valueName.isEmpty())
            text += QStringLiteral(" _") + escaped(o.valueName) + QLatin1Char('_');
        text += QStringLiteral("\n\t") + escaped(o.description) + QStringLiteral("\n\n");
    }
    return text;
}

QString exampleEntries(const std::vector<ExampleDef>& examples) {
    QString text;
    for (const ExampleDef& e : examples)
        text += QStringLiteral("*") + escaped(e.command) + QStringLiteral("*\n\t") + escaped(e.comment) +
                QStringLiteral("\n\n");
    return text;
}

QString usage(const CommandDef& c) {
    QString text = QStringLiteral("*tallyfold* [_GLOBAL OPTIONS_] *") + escaped(c.name) + QLatin1Char('*');
    if (!c.options.empty())
        text += QStringLiteral(" [_OPTIONS_]");
    if (!c.arguments.isEmpty())
        text += QStringLiteral(" _") + escaped(c.arguments) + QLatin1Char('_');
    return text;
}

// The options' names with their dashes; with `value`, only those whose value is named so ("*": any).
QString dashedNames(const std::vector<OptionDef>& options, const QString& value = QString()) {
    QStringList names;
    for (const OptionDef& o : options)
        if (value.isEmpty() || (value == QLatin1String("*") ? !o.valueName.isEmpty() : o.valueName == value))
            for (const QString& name : o.names)
                names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    names.removeDuplicates();
    return names.join(QLatin1Char(' '));
}

// The tables of the bash completion: shell words only, so single quotes hold them.
QString bashTables() {
    std::vector<OptionDef> values = globalOptions();
    QStringList commands;
    QString options, arguments;
    for (const CommandDef& c : commandDefs()) {
        commands << c.name;
        values.insert(values.end(), c.options.begin(), c.options.end());
        options += QStringLiteral("    %1) echo '%2' ;;\n").arg(c.name, dashedNames(c.options));
        if (!c.arguments.isEmpty())
            arguments += QStringLiteral("    %1) echo '%2' ;;\n").arg(c.name, c.arguments);
    }
    return QStringLiteral(
               "_tallyfold_commands='%1'\n_tallyfold_globals='%2 --help -h --version'\n"
               "_tallyfold_valued='%3'\n_tallyfold_file_valued='%4'\n_tallyfold_dir_valued='%5'\n")
               .arg(commands.join(QLatin1Char(' ')), dashedNames(globalOptions()),
                    dashedNames(values, QStringLiteral("*")), dashedNames(values, QStringLiteral("FILE")),
                    dashedNames(values, QStringLiteral("DIR"))) +
           QStringLiteral("_tallyfold_command_options() {\n  case $1 in\n") + options +
           QStringLiteral("  esac\n}\n_tallyfold_command_arguments() {\n  case $1 in\n") + arguments +
           QStringLiteral("  esac\n}\n");
}

}  // namespace

QString manSource(const QString& part) {
    QString text;
    if (part == QLatin1String("synopsis")) {
        for (const CommandDef& c : commandDefs())
            text += usage(c) + QStringLiteral("\n\n");
        text += QStringLiteral("*tallyfold* *--version*\n");
    } else if (part == QLatin1String("options")) {
        std::vector<OptionDef> all = globalOptions();
        all.push_back(
            OptionDef{{QStringLiteral("help"), QStringLiteral("h")}, QString(), QStringLiteral("show the help")});
        all.push_back(OptionDef{{QStringLiteral("version")}, QString(), QStringLiteral("print the version")});
        text = optionEntries(all);
    } else if (part == QLatin1String("commands")) {
        for (const CommandDef& c : commandDefs()) {
            text += QStringLiteral("## ") + c.name.toUpper() + QStringLiteral("\n\n") + usage(c) +
                    QStringLiteral("\n\n") + escaped(c.description.isEmpty() ? c.summary : c.description) +
                    QStringLiteral("\n\n") + optionEntries(c.options);
            if (!c.examples.empty())
                text += QStringLiteral("Examples:\n\n") + exampleEntries(c.examples);
        }
    } else if (part == QLatin1String("examples")) {
        // The overview's, then each command's first one.
        std::vector<ExampleDef> examples = overviewExamples();
        for (const CommandDef& c : commandDefs()) {
            const bool shown = std::any_of(examples.begin(), examples.end(), [&](const ExampleDef& e) {
                return !c.examples.empty() && e.command == c.examples.front().command;
            });
            if (c.name != QLatin1String("help") && !c.examples.empty() && !shown)
                examples.push_back(c.examples.front());
        }
        text = exampleEntries(examples);
    } else if (part == QLatin1String("bash")) {
        text = bashTables();
    } else if (part == QLatin1String("output")) {
        text = QStringLiteral("```\n") + outputHelp() + QStringLiteral("```\n");
    }
    return text;
}

}  // namespace tallyfold
