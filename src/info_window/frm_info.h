#pragma once

#include <QDialog>
#include <QPointer>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace tallyfold {

// "采集日志": the lines of a record file that failed. One shared instance,
// created by its first use and destroyed (with its rows) by unloading.
class frm_Info : public QDialog {
    Q_OBJECT
public:
    static frm_Info& instance();
    static bool isLoaded();
    static void unload();

    // Adds a row at `position` (1-based) with `key`, then sets its data column through the key.
    void addRow(int position, const QString& key, const QString& lineNumber, const QString& recordText);
    // Shows the window modally; returns when the operator has closed it, which unloads it.
    void showModal();

    QLabel* Label1 = nullptr;
    QTreeWidget* lvwInfo = nullptr;
    QPushButton* CmdClose = nullptr;

    // The column widths set at load, in twips.
    std::vector<double> columnTwips() const { return columnTwips_; }

private:
    frm_Info();
    void load();
    void CmdClose_Click();

    std::vector<double> columnTwips_;
    static QPointer<frm_Info> shared_;
};

}  // namespace tallyfold
