#pragma once

#include "platform/connection.h"
#include "platform/export.h"
#include "platform/variant.h"

#include <QStringList>
#include <QVariant>
#include <memory>
#include <utility>
#include <vector>

namespace tallyfold {

enum CursorType { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockType { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3, adLockBatchOptimistic = 4 };
constexpr int adCmdUnspecified = -1;

// The rows of one SELECT, read at Open so that RecordCount is known, plus one
// pending new row that UpdateBatch inserts into the table the SELECT named.
class TALLYFOLD_EXPORT Recordset {
public:
    void Open(const QString& statement, const std::shared_ptr<Connection>& connection,
              int cursorType = adOpenForwardOnly, int lockType = adLockReadOnly, int options = adCmdUnspecified);
    int State() const { return open_ ? adStateOpen : adStateClosed; }
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
    void requireOpen(const char* member) const;
    qsizetype columnIndex(const QString& name) const;

    std::shared_ptr<Connection> connection_;
    QString statement_;
    QString table_;
    QStringList columns_;
    std::vector<std::vector<QVariant>> rows_;
    std::size_t position_ = 0;
    bool open_ = false;
    bool adding_ = false;
    std::vector<std::pair<QString, Variant>> newRow_;
};

// The table a "select ... from TABLE ..." statement reads, or "" when none.
QString tableOfSelect(const QString& statement);

}  // namespace tallyfold
