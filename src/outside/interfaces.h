#pragma once

#include "outside/component.h"
#include "platform/connection.h"
#include "platform/export.h"
#include "platform/recordset.h"
#include "platform/variant.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace tallyfold {

// TamsaTools.Cls_DataBase: hands out the host database's connection and recordsets.
class TALLYFOLD_EXPORT DatabaseTool : public Component {
public:
    virtual std::shared_ptr<Connection> ActiveCn() = 0;
    virtual std::unique_ptr<Recordset> RecordSetA(const QString& statement) = 0;
    // The rows of a SELECT with a '?' for each of `values`, bound to them, on ActiveCn(): the
    // way for a value an operator, a file or a device gave. Not virtual: a host's own tool
    // needs nothing new for it, and its vtable stays as it was.
    std::unique_ptr<Recordset> RecordSetA(const QString& statement, const QVariantList& values);
};

// zev_Permission.Auth: answers whether the operator holds a right.
// The fourth argument is always omitted by the system (Empty).
class TALLYFOLD_EXPORT PermissionAuth : public Component {
public:
    virtual Variant CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName,
                                    QString& userName, const Variant& omitted, const QString& functionName, bool flag1,
                                    bool flag2) = 0;
};

// What went wrong in a device link's last call. Hosts with their own link may
// report these too; None means the call worked or the link does not say.
enum class DeviceError {
    None,
    BadPortSetting,     // the port's lines in Config/Ports.ini cannot be used
    PortNotOpened,      // the OS or the device server refused the port
    ConnectionRefused,  // nobody listens at the device server's address
    HostUnreachable,    // no route, no such host, or no connection within the connect timeout
    ConnectionDropped,  // the line fell during the call and one reopen did not bring it back
    NoPortOpen,         // called before a SetPort that worked
    NoSuchTerminal,     // an address outside 0-255
    BadArgument,        // a date or time that does not exist
    NoAnswer,           // the terminal, or the device server, stayed silent through every retry
    Garbled,            // every retry brought a broken or mismatched answer
    TerminalRefused,    // the terminal refused every retry (NAK)
    TransferCut,        // the terminal fell silent in the middle of a gather
    SourceFolderMissing,
    FileNotWritten,  // the source file could not be written; the earlier one stays
    Cancelled,       // the caller asked the call to stop; nothing more was sent to the terminal
};

struct DeviceFault {
    DeviceError code = DeviceError::None;
    QString device;    // the device path, or tcp:// / rfc2217:// and the server's address
    QString osReason;  // the OS's own words, when the failure came from there
    QString text;      // one line for logs
    int retries = 0;   // requests sent again during the call
};

// VUDOZADOD.Connect: talks to the terminals. An empty result is a Null result.
class TALLYFOLD_EXPORT DeviceLink : public Component {
public:
    // Why the last call failed.
    virtual DeviceFault lastError() const { return {}; }
    virtual std::optional<bool> SetPort(const Variant& port) = 0;
    virtual std::optional<bool> ChangeDate(const Variant& machine, qint16 year, qint16 month, qint16 day) = 0;
    virtual std::optional<bool> ChangeTime(const Variant& machine, double hour, double minute, double second) = 0;
    virtual std::optional<bool> GatherData(qint16 machine, QString& text1, QString& text2) = 0;
    virtual std::optional<bool> ClearRecord(const Variant& machine) = 0;
    virtual void DestoryPort() = 0;
    // Where GatherData writes the records, instead of the host's Source file,
    // so terminals on different ports can be gathered at the same time.
    // False when the link cannot (then they are gathered one after another).
    virtual bool setRecordFile(const QString& path) {
        Q_UNUSED(path);
        return false;
    }
    // Called on the calling thread at least every 50 ms while a call waits on
    // the line, with the records moved so far of the total (0 while not known):
    // the caller keeps its window alive and shows progress; the link never
    // runs the event loop itself.
    using WaitHandler = std::function<void(qint64 done, qint64 total)>;
    virtual void setWaitHandler(WaitHandler handler) { Q_UNUSED(handler); }
    // Asked by the link at least as often as the wait handler is called, and between
    // frames: once it says true the call ends as soon as the line allows, failing with
    // Cancelled. A gather cut short that way writes no source file.
    using CancelCheck = std::function<bool()>;
    virtual void setCancelCheck(CancelCheck check) { Q_UNUSED(check); }
    // Told what a call waits for that the operator should know, such as a port another program holds.
    using NoticeHandler = std::function<void(const QString& text)>;
    virtual void setNoticeHandler(NoticeHandler handler) { Q_UNUSED(handler); }
};

// A device link to terminals that number their records: it reads only what was not read
// yet and clears only below a number, so swipes taken meanwhile stay on the terminal.
// A host's own DeviceLink need not offer it; callers ask for it with dynamic_cast.
class TALLYFOLD_EXPORT NumberedRecordLink {
public:
    struct Span {
        quint32 first = 0;     // the oldest record held
        quint32 next = 0;      // the number the next swipe takes
        quint32 capacity = 0;  // how many records the terminal can hold
        quint32 read = 0;      // where this read began: records read..next-1 are in the record file
    };
    virtual ~NumberedRecordLink() = default;
    // Writes the records numbered from `from` (from the oldest held when it holds no
    // such number any more) up to the terminal's next number into the record file,
    // replacing it only when all arrived, as GatherData does. With nothing new the
    // file is left alone. Empty on failure, with the reason in DeviceLink::lastError().
    virtual std::optional<Span> gatherFrom(qint16 machine, quint32 from) = 0;
    // Erases the records numbered below `number`; records taken later stay.
    virtual bool clearBelow(qint16 machine, quint32 number) = 0;
    // False for the follower, which claims its ports itself and lends them; every other user of a
    // link borrows the port from whoever follows it when it opens it.
    virtual void setBorrowing(bool borrowing) { Q_UNUSED(borrowing); }
};

// TamsaTools.IniFile and TamsaTools.OnTop: created and released, no member called.
class TALLYFOLD_EXPORT IniFileTool : public Component {};
class TALLYFOLD_EXPORT OnTopTool : public Component {};

}  // namespace tallyfold
