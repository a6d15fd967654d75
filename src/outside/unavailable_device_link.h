#pragma once

#include "outside/interfaces.h"

namespace tallyfold {

// Stands in until a serial link is available: no port ever opens.
class UnavailableDeviceLink : public DeviceLink {
public:
    std::optional<bool> SetPort(const Variant&) override { return false; }
    std::optional<bool> ChangeDate(const Variant&, qint16, qint16, qint16) override { return false; }
    std::optional<bool> ChangeTime(const Variant&, double, double, double) override { return false; }
    std::optional<bool> GatherData(qint16, QString&, QString&) override { return false; }
    std::optional<bool> ClearRecord(const Variant&) override { return false; }
    void DestoryPort() override {}
};

}  // namespace tallyfold
