#pragma once

#include "outside/component_registry.h"
#include "outside/interfaces.h"

#include <QStringList>
#include <memory>

namespace tallyfold::test {

// A device link that records every call (member and arguments) and answers
// from fixed results; registered by ProgID so the window and the command
// line create it as they would the real one.
struct DeviceScript {
    QStringList calls;
    std::optional<bool> setPort = true;
    std::optional<bool> changeDate = true;
    std::optional<bool> changeTime = true;
    std::optional<bool> gatherData = true;
    std::optional<bool> clearRecord = true;
    bool raiseInGather = false;
    // Written to the source file when GatherData answers True; null: leave the file as it is.
    std::optional<QByteArray> sourceContent;
};

class RecordingDevice : public DeviceLink {
public:
    explicit RecordingDevice(std::shared_ptr<DeviceScript> script) : script_(std::move(script)) {}

    std::optional<bool> SetPort(const Variant& port) override;
    std::optional<bool> ChangeDate(const Variant& machine, qint16 y, qint16 m, qint16 d) override;
    std::optional<bool> ChangeTime(const Variant& machine, double h, double m, double s) override;
    std::optional<bool> GatherData(qint16 machine, QString& text1, QString& text2) override;
    std::optional<bool> ClearRecord(const Variant& machine) override;
    void DestoryPort() override;

private:
    std::shared_ptr<DeviceScript> script_;
};

// Registers RecordingDevice for "VUDOZADOD.Connect" while it lives.
class RecordingDeviceRegistration {
public:
    RecordingDeviceRegistration();
    ~RecordingDeviceRegistration();
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
};

}  // namespace tallyfold::test
