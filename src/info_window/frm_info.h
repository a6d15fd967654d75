#pragma once

#include <QDialog>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace tallyfold {

// "采集日志": the lines of a record file that failed in one run. The gathering
// window owns the one instance a run loads; deleting it discards its rows.
class frm_Info : public QDialog {
    Q_OBJECT
public:
    explicit frm_Info(QWidget* parent = nullptr);

    // Adds a row at `position` (1-based) with `key`, the line number and the record text.
    void addRow(int position, const QString& key, const QString& lineNumber, const QString& recordText);
    // Returns when the operator has closed the window.
    void showModal() { exec(); }

    // What the window shows, for tests: rows as key|line number|record text.
    QStringList rows() const;
    QStringList columnHeaders() const;                                // caption|key
    std::vector<double> columnTwips() const { return columnTwips_; }  // set at load
    QRect listGeometry() const;
    QString labelText() const;
    QString closeText() const;
    void pressClose();

private:
    void load();

    std::vector<double> columnTwips_;
    QLabel* Label1 = nullptr;
    QTreeWidget* lvwInfo = nullptr;
    QPushButton* CmdClose = nullptr;
};

}  // namespace tallyfold
