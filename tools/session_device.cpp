// A session on a real device: the driver and the class-driver stand-in as for the simulated
// drive, the target an iSCSI or SCSI generic device; nothing is kept between invocations.
#include "driver/velmdat.h"
#include "host/device_target.h"
#include "host/scsi.h"
#include "tools/session.h"

namespace tools {
namespace {

// The inquiry data as the stand-in received it, from the discovery transcript.
host::Identity FoundIdentity(const host::Transcript& transcript)
{
    for (const host::TranscriptEvent& event : transcript.events()) {
        if (event.kind == host::TranscriptEvent::Kind::Answer && !event.answer.dataIn.empty()) {
            return host::IdentityFromInquiry(event.answer.dataIn.data(),
                                             event.answer.dataIn.size());
        }
    }
    return {};
}

}  // namespace

void Session::OpenDevice()
{
    const std::string shown = ShownName(options_.path);
    deviceTarget_ = OpenDeviceTarget(options_.path);
    if (!driver_.Load(&DriverEntry)) {
        throw ToolError(shown, "the driver did not register (entry status " +
                                   std::to_string(driver_.entryStatus()) + ")");
    }
    host::Transcript discovery;
    device_ = host::Device::Discover(driver_, *deviceTarget_, &discovery, options_.forceClaim);
    if (options_.trace) {
        Record(discovery);
    }
    if (!device_) {
        if (!deviceTarget_->lastError().empty()) {
            throw ToolError(shown, "inquiry failed: " + deviceTarget_->lastError());
        }
        const host::Identity found = FoundIdentity(discovery);
        std::string what =
            "the driver serves only the VELM QT-7310; found " + host::IdentityText(found);
        if (found.deviceType != host::kSequentialAccess) {
            what += ", not a tape drive (device type " + std::to_string(found.deviceType) + ")";
        } else {
            what += " (--force-claim runs the requests on it anyway, for testing)";
        }
        throw ClaimRefused(shown, what);
    }

    // The drive reports its power-on or reset once to every new login (UNIT ATTENTION). On
    // the platform the class driver takes that news while it starts the device, before any
    // tape request; so does this session, and the trace shows it.
    host::Transcript start;
    start.Begin("DeviceStart");
    size_t moved = 0;
    const TAPE_STATUS ready =
        device_->Send(host::kTestUnitReadyCdb.data(), host::kTestUnitReadyCdb.size(),
                      host::Direction::None, nullptr, 0, moved, &start);
    start.End(ready);
    if (options_.trace) {
        Record(start);
    }
    if (ready == TAPE_STATUS_DEVICE_NOT_CONNECTED || ready == TAPE_STATUS_IO_TIMEOUT) {
        throw ToolError(shown, deviceTarget_->lastError());
    }
    if (ready == TAPE_STATUS_BUS_RESET || ready == TAPE_STATUS_MEDIA_CHANGED) {
        Note("the drive's power-on report after login was collected");
    }
}

nlohmann::json Session::TargetJson() const
{
    if (deviceTarget_) {
        return {{"kind", deviceTarget_->transport().Kind()},
                {"address", deviceTarget_->transport().Address()}};
    }
    return {{"kind", "simulated drive"}, {"address", options_.path}};
}

std::string Session::TransportError() const
{
    return deviceTarget_ ? deviceTarget_->lastError() : std::string();
}

}  // namespace tools
