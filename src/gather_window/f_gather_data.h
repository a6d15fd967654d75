#pragma once

#include "records/gather_session.h"
#include "records/operator_view.h"
#include "records/terminal_list.h"

#include <QPointer>
#include <QWidget>
#include <memory>
#include <set>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTabWidget;
class QTreeWidget;

namespace tallyfold {

class WidgetPrompts;

// "计次餐饮数据采集": the gathering window. One shared instance; closing it
// destroys it, and the next show loads it again from scratch.
class F_GatherData : public QWidget, public OperatorView {
    Q_OBJECT
public:
    // Shows the shared window, loading it first when it is not loaded. A load
    // failure before the window's own trap raises and nothing is shown.
    static F_GatherData& showShared(Mdl_GatherData& module, const HostSettings& host);
    static F_GatherData* sharedInstance();
    ~F_GatherData() override;

    // Terminal list and business day, callable by the operations and tests.
    void ReadListMachine();
    Variant ViewMachInfo(const Variant& address);
    void ListMachine_Click();
    void getTimeBZBE();
    qint16 getGatherDay(const QString& recordDateTime);

    void CmdLanTest_Click();
    void CmdWork_Click();
    void CmdRead_Click();
    void cmdClear_Click();
    void CmdClose_Click();

    // Lets a test answer the boxes and the file dialog; nullptr restores the widgets.
    void setPrompts(Prompts* prompts);
    // The same for windows created from now on, so the load's own boxes are answered too.
    static void setPromptsForNewWindows(Prompts* prompts);
    GatherSession& session() { return session_; }
    std::vector<double> machineColumnTwips() const { return machineColumnTwips_; }
    std::vector<double> recordColumnTwips() const { return recordColumnTwips_; }
    QString statusText() const;

    // OperatorView
    void setStatus(const QString& text) override;
    void setCaption(const QString& text) override;
    void clearRecordList() override;
    void addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) override;
    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& recordText) override;
    void showFailedLines() override;
    void discardFailedLines() override;
    Prompts& prompts() override;
    void processPendingEvents() override;
    // Switched off while an operation runs, so a second press cannot start another;
    // buttons the rights switched off stay off.
    void setOperationsEnabled(bool enabled);

    QLabel* Picture1 = nullptr;
    QLabel* Label2 = nullptr;
    QTreeWidget* ListMachine = nullptr;
    QTabWidget* SSTab1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QTreeWidget* ListReco = nullptr;
    QCheckBox* CheckClear = nullptr;
    QCheckBox* CheckGet = nullptr;
    QCheckBox* CheckEditTime = nullptr;
    QCheckBox* CheckSave = nullptr;
    QPushButton* CmdLanTest = nullptr;
    QPushButton* CmdWork = nullptr;
    QPushButton* CmdRead = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* CmdClose = nullptr;
    QRadioButton* Opt_Record = nullptr;
    QRadioButton* Opt_BlackList = nullptr;
    QStatusBar* Sta_Text = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    F_GatherData(Mdl_GatherData& module, const HostSettings& host);
    void buildControls();
    void load();
    void loadTrapped();
    void unload() noexcept;
    void addColumns(QTreeWidget* list, const double (&fractions)[4], const char* const (&headers)[4],
                    std::vector<double>& twips);
    // Runs one operation with the operation buttons switched off; a press while one runs is refused.
    template <class Operation>
    void runExclusive(Operation&& operation);

    GatherSession session_;
    std::vector<TerminalRow> terminals_;
    std::vector<double> machineColumnTwips_;
    std::vector<double> recordColumnTwips_;
    std::unique_ptr<WidgetPrompts> widgetPrompts_;
    Prompts* prompts_ = nullptr;
    QLabel* statusPanel_ = nullptr;
    std::set<QPushButton*> switchedOff_;
    bool busy_ = false;
    bool unloaded_ = false;
    bool closeRequested_ = false;

    static QPointer<F_GatherData> shared_;
    static Prompts* promptsForNewWindows_;
};

}  // namespace tallyfold
