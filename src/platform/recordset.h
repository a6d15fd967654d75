#pragma once

#include "platform/connection.h"
#include "platform/export.h"
#include "platform/variant.h"

#include <QString>
#include <QVariantList>
#include <memory>

namespace tallyfold {

enum CursorType { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockType { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3, adLockBatchOptimistic = 4 };
constexpr int adCmdUnspecified = -1;

// The rows of one SELECT, read at Open so that RecordCount is known, plus one
// pending new row that UpdateBatch inserts into the table the SELECT named.
class RecordsetPrivate;

class TALLYFOLD_EXPORT Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    void Open(const QString& statement, const std::shared_ptr<Connection>& connection,
              int cursorType = adOpenForwardOnly, int lockType = adLockReadOnly, int options = adCmdUnspecified);
    // The same for a SELECT with a '?' for each of `values`, which are bound to them: the way
    // for any value an operator, a file, a device or the host gave (see executeBound).
    void Open(const QString& statement, const QVariantList& values, const std::shared_ptr<Connection>& connection,
              int cursorType = adOpenForwardOnly, int lockType = adLockReadOnly, int options = adCmdUnspecified);
    int State() const;
    void Close();

    long RecordCount() const;
    bool Eof() const;
    void MoveNext();
    // The value of a column of the current row; raises when there is no current row.
    Variant Fields(const QString& name) const;

    void AddNew();
    void SetField(const QString& name, const Variant& value);
    // Writes the pending new row as one INSERT with bound values, committed at once.
    void UpdateBatch();

private:
    std::unique_ptr<RecordsetPrivate> d_;
};

// Runs one statement with a '?' for each of `values`, which are bound to them, never spliced
// into its text: every driver hands them to the database apart from the statement (on
// PostgreSQL the library's own libpq session sends them as parameters). Raises as
// Connection::Execute does and, as it does, tries a server lost since the last statement
// once more on a fresh connection.
TALLYFOLD_EXPORT void executeBound(Connection& connection, const QString& statement, const QVariantList& values);

}  // namespace tallyfold
