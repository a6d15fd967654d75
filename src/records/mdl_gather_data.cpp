#include "records/mdl_gather_data.h"

#include "outside/component_registry.h"
#include "outside/host_folder.h"
#include "outside/interfaces.h"
#include "platform/durable_file.h"
#include "platform/error.h"

namespace tallyfold {

void enterOperator(Mdl_GatherData& module, const Variant& user, const Variant& caption) {
    {
        auto tool = createComponent<DatabaseTool>(progid::DatabaseTool);
        module.Pub_Conn = tool->ActiveCn();
    }
    if (!module.Pub_Conn)
        throw Error(errc::ObjectNotSet, QStringLiteral("The database tool gave no connection"));
    module.Pub_DateQuote = recognisedDateQuote(module.Pub_Conn->ConnectionString(), module.Pub_DateQuote);
    module.Pub_UserName = user.toText();
    module.Pub_Caption = caption.toText();
}

QString recognisedDateQuote(const QString& connectionString, const QString& previous) {
    const QString lower = connectionString.toLower();
    if (lower.contains(QStringLiteral("provider=microsoft.jet.oledb.4.0;")))
        return QStringLiteral("#");
    if (lower.contains(QStringLiteral("provider=sqloledb.1;")) || lower.contains(QStringLiteral("provider=sqlite;")) ||
        lower.contains(QStringLiteral("provider=postgresql;")))
        return QStringLiteral("'");
    return previous;
}

QString ctrlLogStatement() {
    return QStringLiteral(" insert into CtrlLog (UserA,TimeA,ObjectA,ActionA,ResultA ) values (?,?,?,?,?)");
}

QVariantList ctrlLogValues(const QString& user, const QDateTime& time, const QString& objectText,
                           const QString& actionText, const QString& resultText) {
    // A null text would be bound as NULL; the literal it replaces made it ''.
    auto text = [](const QString& s) { return s.isNull() ? QStringLiteral("") : s; };
    return {text(user), text(regionalDateTimeText(time)), text(objectText), text(actionText), text(resultText)};
}

QString WriteCtrlLog(const QString& user, const QDateTime& time, const QString& objectText, const QString& actionText,
                     const QString& resultText) {
    try {
        std::shared_ptr<Connection> connection;
        {
            auto tool = createComponent<DatabaseTool>(progid::DatabaseTool);
            connection = tool->ActiveCn();
        }
        if (!connection)
            return QStringLiteral("The database tool gave no connection");
        executeBound(*connection, ctrlLogStatement(), ctrlLogValues(user, time, objectText, actionText, resultText));
        return QString();
    } catch (const Error& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    }
}

QString savedFileName(const QString& prefix, const QDateTime& moment) {
    return prefix + moment.date().toString(QStringLiteral("yyyyMMdd")) +
           moment.time().toString(QStringLiteral("HHmmss")) + QStringLiteral(".txt");
}

bool SaveGatherFile(const HostSettings& host, const QString& sourcePath, const QString& prefix, const Clock& clock,
                    QString* copy, QString* reason) {
    const QString target = host.path(QStringLiteral("Database/")) + savedFileName(prefix, clock());
    // Another run's copy of the same second is never replaced (its terminal may be cleared
    // already): the later copy takes the next free name, -2, -3, ...
    QString why;
    const QString made = copyDurably(sourcePath, target, DurableFile::Existing::Keep, &why);
    if (copy)
        *copy = made;
    if (reason)
        *reason = made.isEmpty() ? why : QString();
    return !made.isEmpty();
}

}  // namespace tallyfold
