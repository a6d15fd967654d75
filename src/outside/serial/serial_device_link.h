#pragma once

#include "outside/host_folder.h"
#include "outside/interfaces.h"

#include <memory>

namespace tallyfold {

class PortClaim;

namespace serial {
struct WaitReport;
}

// The count terminals on one serial line. The PC is the only master: every call
// sends requests and waits for the addressed terminal's reply, retrying up to
// three times on silence, a broken frame or a NAK. Calls block until done.
//
// SetPort takes a port number (1 = first port, mapped through Config/Ports.ini
// to a serial device or a device server on the network) and answers False when
// the port cannot be opened; a value that is no number raises the Variant's
// conversion error. Machine addresses are 0-255; anything else answers False
// without touching the line. A line that falls during a call is reopened once.
// After a False, lastError() says what went wrong and where. A cancel check
// that says true ends the call at the next wait slice or frame with Cancelled.
class SerialDeviceLink : public DeviceLink, public NumberedRecordLink {
public:
    explicit SerialDeviceLink(HostSettings host);
    ~SerialDeviceLink() override;

    std::optional<bool> SetPort(const Variant& port) override;
    std::optional<bool> ChangeDate(const Variant& machine, qint16 year, qint16 month, qint16 day) override;
    std::optional<bool> ChangeTime(const Variant& machine, double hour, double minute, double second) override;
    // Reads every record of the terminal into Source/SourceRecordSet.txt, replacing
    // that file only when all of them arrived. A transfer that is cut or whose line
    // falls is started again from the first record, as often as the port's
    // transfer_retries says. text1 tells how many records were read, text2 the
    // retries needed or why the gather failed.
    std::optional<bool> GatherData(qint16 machine, QString& text1, QString& text2) override;
    std::optional<bool> ClearRecord(const Variant& machine) override;
    std::optional<Span> gatherFrom(qint16 machine, quint32 from) override;
    bool clearBelow(qint16 machine, quint32 number) override;
    void DestoryPort() override;
    bool setRecordFile(const QString& path) override;
    DeviceFault lastError() const override;
    void setWaitHandler(WaitHandler handler) override;
    void setCancelCheck(CancelCheck check) override;
    void setNoticeHandler(NoticeHandler handler) override { notice_ = std::move(handler); }
    void setBorrowing(bool borrowing) override { borrowing_ = borrowing; }

    bool isPortOpen() const;
    // The device path of the held port; empty when none is held.
    QString portDevice() const;

private:
    class Bus;

    void beginCall();
    // The whole transfer (no `from`) or the numbered read from `from`, which fills `span`.
    bool transfer(qint16 machine, std::optional<quint32> from, Span* span, QString& text1, QString& text2);
    // Records the failure in lastError(); always false, for `return fail(...)`.
    bool fail(DeviceError code, const QString& what, const QString& osReason = {}, int retries = 0);

    HostSettings host_;
    QString recordFile_;
    std::shared_ptr<serial::WaitReport> waiting_;
    std::unique_ptr<Bus> bus_;
    DeviceFault fault_;
    NoticeHandler notice_;
    bool borrowing_ = true;
    // The port as borrowed from the follower, with what it had stored when it lent it.
    std::unique_ptr<PortClaim> claim_;
};

std::unique_ptr<DeviceLink> createSerialDeviceLink(const HostSettings& host);

}  // namespace tallyfold
