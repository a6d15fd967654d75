#include "support/recording_device.h"

#include "outside/host_folder.h"
#include "platform/error.h"

#include <QFile>

namespace tallyfold::test {

static QString kindText(const Variant& v) {
    switch (v.kind()) {
    case Variant::Kind::Empty:
        return QStringLiteral("Empty");
    case Variant::Kind::Null:
        return QStringLiteral("Null");
    case Variant::Kind::Text:
        return QStringLiteral("\"") + v.toText() + QStringLiteral("\"");
    default:
        return v.toText();
    }
}

std::optional<bool> RecordingDevice::SetPort(const Variant& port) {
    script_->calls << QStringLiteral("SetPort(%1)").arg(kindText(port));
    return script_->setPort;
}

std::optional<bool> RecordingDevice::ChangeDate(const Variant& machine, qint16 y, qint16 m, qint16 d) {
    script_->calls << QStringLiteral("ChangeDate(%1,%2,%3,%4)").arg(kindText(machine)).arg(y).arg(m).arg(d);
    return script_->changeDate;
}

std::optional<bool> RecordingDevice::ChangeTime(const Variant& machine, double h, double m, double s) {
    script_->calls << QStringLiteral("ChangeTime(%1,%2,%3,%4)").arg(kindText(machine)).arg(h).arg(m).arg(s);
    return script_->changeTime;
}

std::optional<bool> RecordingDevice::GatherData(qint16 machine, QString& text1, QString& text2) {
    script_->calls << QStringLiteral("GatherData(%1,\"%2\",\"%3\")").arg(machine).arg(text1, text2);
    if (script_->raiseInGather)
        throw Error(-2147220991, QStringLiteral("device failure"));
    if (script_->gatherData == true && script_->sourceContent) {
        QFile f(hostSettingsFromEnvironment().sourceRecordFile());
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(*script_->sourceContent);
    }
    return script_->gatherData;
}

std::optional<bool> RecordingDevice::ClearRecord(const Variant& machine) {
    script_->calls << QStringLiteral("ClearRecord(%1)").arg(kindText(machine));
    return script_->clearRecord;
}

void RecordingDevice::DestoryPort() {
    script_->calls << QStringLiteral("DestoryPort()");
}

RecordingDeviceRegistration::RecordingDeviceRegistration() {
    auto s = script;
    registerComponent(progid::DeviceLink, [s] { return std::make_unique<RecordingDevice>(s); });
}

RecordingDeviceRegistration::~RecordingDeviceRegistration() {
    unregisterComponent(progid::DeviceLink);
}

}  // namespace tallyfold::test
