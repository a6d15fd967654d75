#pragma once

#include "gather_window/operation_guard.h"
#include "gather_window/operator_rights.h"
#include "records/gather_session.h"
#include "records/operations.h"
#include "records/operator_view.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <memory>

class QAbstractItemModel;
class QCheckBox;
class QHeaderView;
class QLabel;
class QModelIndex;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTableView;
class QTreeView;

namespace tallyfold {

class frm_Info;
class RecordListModel;
class TerminalListModel;
class WidgetPrompts;

// "计次餐饮数据采集": the gathering window, an adapter from its widgets to the
// operations. It lays out the controls, forwards clicks, and shows what the
// operations tell the operator; the rights, the terminal list and the busy rule
// live in units of their own. Closing it unloads it; a close during an operation
// asks the operation to stop and closes the window once it has.
class F_GatherData : public QWidget, public OperatorView {
    Q_OBJECT
public:
    enum class Check { Clear, Get, EditTime, Save };

    // Loads a window without showing it: components, columns, terminal list, then
    // under the load's own trap the rights and the time parameters. A failure
    // before that trap raises and leaves nothing. `prompts` answers the boxes and
    // the file dialog; nullptr: the window's own message boxes and file dialog.
    static std::unique_ptr<F_GatherData> load(Mdl_GatherData& module, const HostSettings& host,
                                              Prompts* prompts = nullptr);
    // The same in two steps, for a window shown before it loads: frame() makes the window
    // alone (caption, icon, size); finishLoad() adds the controls and
    // loads as load() does, raising the same way. A close meanwhile waits for the load's end.
    static std::unique_ptr<F_GatherData> frame(Mdl_GatherData& module, const HostSettings& host,
                                               Prompts* prompts = nullptr);
    void finishLoad();
    ~F_GatherData() override;

    // False once closed: the components are released and the window is going away.
    bool isLoaded() const { return !unloaded_; }
    // A further ShowA while the window is open.
    void bringToFront();

    // Called by the operations and tests.
    void ReadListMachine();
    Variant ViewMachInfo(const Variant& address);
    void getTimeBZBE();
    qint16 getGatherDay(const QString& recordDateTime);
    GatherSession& session() { return session_; }

    // What an operator does and sees, for tests and hosts' checks.
    void press(Button button);
    bool isEnabled(Button button) const;
    // A mouse click on terminal `row`; a row past the last one clicks the empty space below.
    void clickTerminal(int row);
    // A key typed into the terminal list, as the keyboard types it (`text` for a typed character).
    void typeInTerminalList(int key, const QString& text = {});
    // The button pressed with the space bar (or Enter), as the keyboard presses it.
    void pressByKeyboard(Button button, int key = Qt::Key_Space);
    // The terminal row the list shows selected, -1 for none.
    int highlightedTerminal() const;
    void setChecked(Check box, bool ticked);
    GatherOptions gatherOptions() const;
    QList<QStringList> terminalRows() const;
    QList<QStringList> recordRows() const;  // as shown
    QStringList recordHeaders() const;      // caption|key of each column
    std::vector<double> machineColumnTwips() const { return machineColumnTwips_; }
    std::vector<double> recordColumnTwips() const { return recordColumnTwips_; }
    QString statusText() const;
    QString statusToolTip() const;
    bool progressShown() const;
    int progressPercent() const;  // -1 while the total is unknown
    // The record list's rows as shown, for watching how they arrive.
    const QAbstractItemModel& recordModel() const;
    // The failed-lines window while it is shown, else nullptr.
    frm_Info* failedLinesWindow() const;

    // OperatorView
    void setStatus(const QString& text) override;
    void setCaption(const QString& text) override;
    void clearRecordList() override;
    void addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) override;
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& recordText) override;
    void showFailedLines() override;
    void discardFailedLines() override;
    Prompts& prompts() override;
    void setProgress(qint64 done, qint64 total) override;
    void setDetail(const QString& text) override;
    // At most once every PumpIntervalMs: shows the rows taken meanwhile and lets
    // the window process its events, input included; the guard refuses a second
    // operation and a click in the terminal list meanwhile.
    void keepAlive() override;
    // True once "退出" or a close came during the running operation.
    bool cancelRequested() const override;
    QString stopCause() const override { return QStringLiteral("stopped as the window was closed"); }

    static constexpr int PumpIntervalMs = 20;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    F_GatherData(Mdl_GatherData& module, const HostSettings& host, Prompts* prompts);
    void buildFrame();
    void buildControls();
    void loadSteps();
    void loadTrapped();
    void unload() noexcept;
    void setColumnWidths(QHeaderView* columns, const double (&fractions)[4], std::vector<double>& twips);
    void fitAddressColumn();
    void ListMachine_Click();
    void ListMachine_Highlighted(const QModelIndex& current);
    template <class Operation>
    void runOperation(Operation&& operation);
    void connectButtons();
    void showRows();
    void showProgress(bool shown);
    void updateButtons();
    void updateToolTip();
    QPushButton* button(Button which) const;
    QCheckBox* checkBox(Check which) const;

    GatherSession session_;
    OperatorRights rights_;
    OperationGuard guard_;
    // While a box or the file dialog waits for the operator, nothing progresses: the
    // progress bar steps aside, and the list shows every row handled so far.
    class Asking : public Prompts {
    public:
        Asking(F_GatherData& window, Prompts& inner) : window_(window), inner_(inner) {}
        MessageAnswer message(const MessageRequest& request) override;
        QString chooseOpenFile(const QString& filter) override;

    private:
        F_GatherData& window_;
        Prompts& inner_;
    };
    std::unique_ptr<WidgetPrompts> widgetPrompts_;
    std::unique_ptr<Asking> prompts_;
    double scale_ = 1;  // the layout's, below 1 on a screen too small for the design
    std::vector<double> machineColumnTwips_;
    std::vector<double> recordColumnTwips_;
    QElapsedTimer sincePump_;
    QString summary_;
    QString detail_;
    bool stepDone_ = false;  // the last progress reported was complete
    bool unloaded_ = false;
    bool loading_ = true;         // until finishLoad() has ended
    bool listReloading_ = false;  // while ReadListMachine() makes the first terminal current
    bool leftPressed_ = false;    // from a left press in the terminal list until its release

    TerminalListModel* terminals_ = nullptr;
    RecordListModel* records_ = nullptr;
    // The running operation's failed lines wait here until it shows them, in a window
    // made then, or discards them: a long file's thousands of failed lines cost no
    // widgets unless the operator asks to see them.
    struct FailedRow {
        int position;
        QString key, lineNumber, recordText;
    };
    std::vector<FailedRow> failedRows_;
    QPointer<frm_Info> failedLines_;

    QLabel* Picture1 = nullptr;
    QLabel* Label2 = nullptr;
    QTreeView* ListMachine = nullptr;
    QTableView* ListReco = nullptr;
    QCheckBox* CheckClear = nullptr;
    QCheckBox* CheckGet = nullptr;
    QCheckBox* CheckEditTime = nullptr;
    QCheckBox* CheckSave = nullptr;
    QPushButton* CmdLanTest = nullptr;
    QPushButton* CmdWork = nullptr;
    QPushButton* CmdRead = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* CmdClose = nullptr;
    QStatusBar* Sta_Text = nullptr;
    QLabel* statusPanel_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

}  // namespace tallyfold
